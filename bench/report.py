"""Prints the benchmark table: each command's time, peak memory and instruction count,
as ratios to hexstamp's."""
import json
import os
import sys

timings, memory, instructions = sys.argv[1:4]
results = json.load(open(timings))["results"]
rss = dict(line.rsplit("\t", 1) for line in open(memory).read().splitlines())
counts = dict(line.rsplit("\t", 1) for line in open(instructions).read().splitlines())
base = results[0]
base_rss, base_count = int(rss[base["command"]]), int(counts.get(base["command"], 0))

print(f"{'command':<50} {'mean ms':>8} {'x time':>7} {'max RSS KiB':>12} {'x mem':>6}"
      f" {'instructions':>13} {'x instr':>8}")
for result in results:
    name = result["command"]
    kib, count = int(rss[name]), int(counts.get(name, 0))
    count_text = (f"{count:>13,} {count / base_count:>8.2f}" if count and base_count
                  else f"{'-':>13} {'-':>8}")
    print(f"{name:<50} {result['mean'] * 1000:>8.2f} {result['mean'] / base['mean']:>7.2f}"
          f" {kib:>12} {kib / base_rss:>6.2f} {count_text}")

empty = next((r["command"] for r in results if "empty" in r["command"]), None)
tools = [r["command"] for r in results
         if os.path.basename(r["command"].split()[0]).startswith("hexstamp")
         and r["command"] != empty]
if empty and int(counts.get(empty, 0)):
    print()
    for tool in tools:
        if int(counts.get(tool, 0)):
            print(f"{tool.split()[0]}'s instructions against the empty program: "
                  f"{int(counts[tool]) / int(counts[empty]):.2f}x (target: at most 1.20x)")
for result in results[1:]:
    if result["command"] != empty and result["command"] not in tools:
        print(f"hexstamp is {result['mean'] / base['mean']:.1f}x faster than "
              f"'{result['command']}' (target: at least 5x)")
