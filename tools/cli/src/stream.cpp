#include "stream.h"

#include <algorithm>
#include <filesystem>
#include <thread>

namespace qtucli {

using Clock = std::chrono::steady_clock;

SyntheticFrames::SyntheticFrames(const Geometry& geometry) : frame_(geometry.frameBytes()) {
    // A diagonal ramp: each line differs from the next, which makes a saved
    // frame easy to recognise.
    for (size_t line = 0; line < geometry.lineCount; ++line) {
        uint8_t* row = frame_.data() + line * geometry.lineSize;
        for (size_t x = 0; x < geometry.lineSize; ++x) {
            row[x] = static_cast<uint8_t>(x + line);
        }
    }
}

FileFrames::FileFrames(const std::string& path, const Geometry& geometry)
    : frame_(geometry.frameBytes()) {
    // Frames are read in turn and the file starts over at its end, so it
    // must be a regular file; opening a pipe would also wait for a writer.
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!error && std::filesystem::is_directory(status)) {
        openError_ = "'" + path + "' is a directory, not a file of frames";
        return;
    }
    if (!error && !std::filesystem::is_regular_file(status)) {
        openError_ = "'" + path + "' is not a regular file";
        return;
    }
    file_.open(path, std::ios::binary);
    if (!file_) {
        openError_ = "cannot open '" + path + "'";
        return;
    }
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    if (end < 0) {
        openError_ = "'" + path + "' has no size to read frames from (not a regular file)";
        return;
    }
    const auto size = static_cast<uint64_t>(end);
    file_.seekg(0);
    framesInFile_ = size / frame_.size();
    if (framesInFile_ == 0) {
        openError_ = "'" + path + "' holds " + std::to_string(size) + " bytes, less than one frame of " +
                     std::to_string(frame_.size());
    }
}

const uint8_t* FileFrames::next() {
    if (position_ == framesInFile_) {
        file_.clear();
        file_.seekg(0);
        position_ = 0;
    }
    file_.read(reinterpret_cast<char*>(frame_.data()), static_cast<std::streamsize>(frame_.size()));
    if (static_cast<size_t>(file_.gcount()) != frame_.size()) {
        readError_ = "short read from the frame file";
        return nullptr;
    }
    ++position_;
    return frame_.data();
}

namespace {

bool isSet(const std::atomic<bool>* flag) {
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

}  // namespace

QZQTU_Error streamFrames(int32_t handle, const StreamPlan& plan, FrameSource& source, StreamTotals& totals,
                         const StreamHooks& hooks, std::ostream& err) {
    const Geometry& geometry = plan.geometry;
    const auto start = Clock::now();
    auto nextProgress = start + hooks.progressInterval;
    const auto framePeriod = plan.fps > 0 ? std::chrono::duration<double>(1.0 / plan.fps)
                                          : std::chrono::duration<double>::zero();
    const auto stallLimit = std::chrono::milliseconds(plan.stallTimeoutMs);
    auto elapsedSeconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };

    QZQTU_StreamDataInfo info{};
    info.tag = plan.tag;
    QZQTU_Error failure = QZQTU_OK;
    for (uint64_t index = 0; failure == QZQTU_OK; ++index) {
        if (plan.frames && index >= *plan.frames) {
            break;
        }
        if (plan.seconds && elapsedSeconds() >= *plan.seconds) {
            break;
        }
        if (isSet(hooks.interrupted)) {
            break;
        }
        if (plan.fps > 0) {
            // Wait for the frame's time in short steps, so an interrupt ends a slow stream promptly.
            const auto due = start + std::chrono::duration_cast<Clock::duration>(framePeriod * index);
            while (Clock::now() < due && !isSet(hooks.interrupted)) {
                const auto step = Clock::now() + std::chrono::milliseconds(50);
                std::this_thread::sleep_until(std::min(due, step));
            }
            if (isSet(hooks.interrupted)) {
                break;
            }
        }
        const uint8_t* frame = source.next();
        if (frame == nullptr) {
            err << "error: " << source.error() << "\n";
            failure = kSourceFailed;
            break;
        }
        const auto frameStart = Clock::now();
        info.timestamp = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(frameStart - start).count());
        info.frameCounter = static_cast<uint16_t>(plan.firstFrame + index);
        for (uint32_t line = 0; line < geometry.lineCount; ++line) {
            info.lineIndex = static_cast<uint16_t>(line);
            const uint8_t* block = frame + size_t{line} * geometry.lineSize;
            // 11 means no credit yet: the unit is still busy. Ask again, for a bounded time.
            QZQTU_Error result = QZQTU_OK;
            std::optional<Clock::time_point> giveUp;
            while (true) {
                result = QZQTU_ReplayStreamData(handle, &info, block, geometry.lineSize);
                totals.count(result);
                if (result != QZQTU_TIMEOUT) {
                    break;
                }
                ++totals.creditWaits;
                const auto now = Clock::now();
                if (!giveUp) {
                    giveUp = now + stallLimit;
                }
                if (now >= *giveUp) {
                    err << "error: no buffer space in the unit for " << plan.stallTimeoutMs << " ms\n";
                    break;
                }
                if (isSet(hooks.interrupted)) {
                    err << "interrupted while waiting for buffer space in the unit\n";
                    break;
                }
            }
            if (result != QZQTU_OK) {
                printLibraryError(err, "QZQTU_ReplayStreamData", result);
                failure = result;
                break;
            }
            ++totals.blocks;
            totals.bytes += geometry.lineSize;
            if (hooks.progress) {
                const auto now = Clock::now();
                if (now >= nextProgress) {
                    totals.seconds = std::chrono::duration<double>(now - start).count();
                    hooks.progress(totals);
                    nextProgress = now + hooks.progressInterval;
                }
            }
        }
        if (failure == QZQTU_OK) {
            ++totals.frames;
        }
    }
    totals.seconds = elapsedSeconds();
    return failure;
}

}  // namespace qtucli
