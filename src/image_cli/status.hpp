#pragma once

namespace hexstamp::image {

// Exit statuses of hexstamp-image, as grep's: for show, 1 means the range holds no stamp;
// for verify, a difference.
enum ImageStatus : int {
    ImageSuccess = 0,
    NoStamp = 1,
    ImageFailed = 2,
};

} // namespace hexstamp::image
