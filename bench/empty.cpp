// The floor of any C++ tool's run: process start, dynamic linking and exit.
int main() {
    return 0;
}
