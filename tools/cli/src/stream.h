// The stream command's engine: frames from a source, cut into lines, handed
// to QZQTU_ReplayStreamData one line per call, paced and counted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "format.h"
#include "options.h"

namespace qtucli {

// Hands out one frame after another; the bytes stay valid until the next call.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Null when the next frame cannot be had (the reason is in error()).
    virtual const uint8_t* next() = 0;
    virtual std::string error() const { return {}; }
};

// A fixed test pattern, the same for every frame (made once).
class SyntheticFrames final : public FrameSource {
public:
    explicit SyntheticFrames(const Geometry& geometry);
    const uint8_t* next() override { return frame_.data(); }

private:
    std::vector<uint8_t> frame_;
};

// Raw frames read in turn from a file, starting over at its end. Bytes after
// the last whole frame are not used.
class FileFrames final : public FrameSource {
public:
    FileFrames(const std::string& path, const Geometry& geometry);
    // Error text when the file cannot be opened or holds no whole frame.
    const std::optional<std::string>& openError() const { return openError_; }
    uint64_t framesInFile() const { return framesInFile_; }
    const uint8_t* next() override;
    std::string error() const override { return readError_; }

private:
    std::ifstream file_;
    std::vector<uint8_t> frame_;
    uint64_t framesInFile_ = 0;
    uint64_t position_ = 0;
    std::optional<std::string> openError_;
    std::string readError_;
};

struct StreamPlan {
    Geometry geometry;
    double fps = 0;                   // 0: as fast as credit allows
    std::optional<uint64_t> frames;   // stop after this many frames
    std::optional<double> seconds;    // or after this long (checked between frames)
    uint16_t firstFrame = 0;          // frame counter of the first frame
    uint8_t tag = 0;
    uint32_t stallTimeoutMs = 5000;   // longest run of 11 on one line before giving up
};

struct StreamHooks {
    const std::atomic<bool>* interrupted = nullptr;  // set: stop at the next frame (or credit wait)
    std::function<void(const StreamTotals&)> progress;
    std::chrono::milliseconds progressInterval{250};
};

// Returned by streamFrames when the frame source fails (not a library code).
inline constexpr QZQTU_Error kSourceFailed = -1;

// Streams frames to an initialised channel until the plan is done, the user
// interrupts or a call fails. Returns 0, the failing result code or
// kSourceFailed (each already printed to `err`); `totals` holds what was done
// either way.
QZQTU_Error streamFrames(int32_t handle, const StreamPlan& plan, FrameSource& source, StreamTotals& totals,
                         const StreamHooks& hooks, std::ostream& err);

}  // namespace qtucli
