#include "cli_app.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "QZQTUApi.h"
#include "format.h"
#include "options.h"
#include "stream.h"

namespace qtucli {
namespace {

using Clock = std::chrono::steady_clock;

// A registered channel, unregistered when it goes out of scope (which makes
// the library switch the channel's output and replay off in the unit).
class Channel {
public:
    Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel() {
        if (handle_ >= 0) {
            QZQTU_UnregisterOutputChannel(handle_);
        }
    }
    QZQTU_Error open(const Connection& connection, std::ostream& err) {
        const QZQTU_Error result =
            QZQTU_RegisterOutputChannel(&connection.inputInterface(), connection.channel(), &handle_);
        if (result != QZQTU_OK) {
            handle_ = -1;
            printLibraryError(err, "QZQTU_RegisterOutputChannel", result);
        }
        return result;
    }
    int32_t handle() const { return handle_; }

private:
    int32_t handle_ = -1;
};

// The snapshot is empty until the unit's first status message for the
// channel; poll it for a bounded time. Returns 0 or the last result (14).
QZQTU_Error awaitStatus(int32_t handle, uint32_t waitMs, QZQTU_ReplayState& state) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (true) {
        const QZQTU_Error result = QZQTU_GetCurrentState(handle, &state);
        if (result != QZQTU_DATA_NOT_AVAILABLE || Clock::now() >= deadline) {
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Keeps the first failure of a command that goes on after a failed call.
struct FirstFailure {
    int code = 0;
    void note(QZQTU_Error result) {
        if (code == 0 && result != QZQTU_OK) {
            code = result;
        }
    }
};

std::string describe(const Connection& connection) {
    return "channel " + std::to_string(connection.channel()) + " of the unit at " + connection.control().ip +
           ":" + std::to_string(connection.control().port) + " (data " + connection.data().ip + ":" +
           std::to_string(connection.dataPort()) + ")";
}

int runPing(const Connection& connection, const CliContext& context, bool json) {
    const QZQTU_Error result = QZQTU_IsInputInterfaceAvailable(&connection.inputInterface());
    if (result != QZQTU_OK) {
        printLibraryError(context.err, "QZQTU_IsInputInterfaceAvailable", result);
    }
    if (json) {
        context.out << nlohmann::json{{"control", connection.control().ip},
                                      {"data", connection.data().ip},
                                      {"result", result},
                                      {"text", errorText(result)}}
                           .dump()
                    << "\n";
    } else if (result == QZQTU_OK) {
        context.out << "control " << connection.control().ip << " and data " << connection.data().ip
                    << " answer\n";
    }
    return result;
}

int runInfo(const Connection& connection, const CliContext& context, uint32_t statusWaitMs, bool json) {
    Channel channel;
    if (const QZQTU_Error result = channel.open(connection, context.err)) {
        return result;
    }
    const int32_t handle = channel.handle();
    FirstFailure failure;
    nlohmann::json report{{"channel", connection.channel()},
                          {"control", connection.control().ip + ":" + std::to_string(connection.control().port)},
                          {"data", connection.data().ip + ":" + std::to_string(connection.dataPort())}};
    auto failed = [&](const char* call, QZQTU_Error result) {
        printLibraryError(context.err, call, result);
        failure.note(result);
        return nlohmann::json{{"error", result}, {"text", errorText(result)}};
    };

    const QZQTU_Error available = QZQTU_IsOutputChannelAvailable(handle);
    report["available"] = available == QZQTU_OK ? nlohmann::json(true)
                                                : failed("QZQTU_IsOutputChannelAvailable", available);

    uint16_t lineSize = 0;
    uint16_t lineCount = 0;
    if (const QZQTU_Error result = QZQTU_GetFrameSize(handle, &lineSize, &lineCount)) {
        report["frameSize"] = failed("QZQTU_GetFrameSize", result);
    } else {
        report["frameSize"] = {{"lineSize", lineSize}, {"lineCount", lineCount}};
    }

    uint64_t start = 0;
    uint64_t offset = 0;
    uint64_t stop = 0;
    if (const QZQTU_Error result = QZQTU_GetReplayStartTime(handle, &start, &offset, &stop)) {
        report["times"] = failed("QZQTU_GetReplayStartTime", result);
    } else {
        report["times"] = {{"start", start}, {"offset", offset}, {"stop", stop}};
    }

    QZQTU_ReplayState state{};
    if (const QZQTU_Error result = awaitStatus(handle, statusWaitMs, state)) {
        report["status"] = failed("QZQTU_GetCurrentState", result);
    } else {
        report["status"] = statusJson(state);
    }

    if (json) {
        context.out << report.dump() << "\n";
        return failure.code;
    }
    auto errorOr = [](const nlohmann::json& value, auto&& text) -> std::string {
        if (value.is_object() && value.contains("error")) {
            return "- (" + value["text"].get<std::string>() + ")";
        }
        return text();
    };
    std::ostream& out = context.out;
    out << describe(connection) << "\n";
    out << "state       " << errorOr(report["available"], [] { return std::string("available"); }) << "\n";
    out << "frame size  " << errorOr(report["frameSize"], [&] {
        return std::to_string(lineSize) + " bytes x " + std::to_string(lineCount) + " lines (" +
               std::to_string(uint64_t{lineSize} * lineCount) + " bytes)";
    }) << "\n";
    out << "start time  " << errorOr(report["times"], [&] { return std::to_string(start); }) << "\n";
    out << "offset      " << errorOr(report["times"], [&] { return std::to_string(offset); }) << "\n";
    out << "stop time   " << errorOr(report["times"], [&] { return std::to_string(stop); }) << "\n";
    out << "status      " << errorOr(report["status"], [&] { return formatStatus(state); }) << "\n";
    return failure.code;
}

struct TimesOptions {
    std::optional<uint64_t> start, offset, stop;
};

int runSetTimes(const Connection& connection, const CliContext& context, const TimesOptions& times, bool json) {
    Channel channel;
    if (const QZQTU_Error result = channel.open(connection, context.err)) {
        return result;
    }
    const int32_t handle = channel.handle();
    auto check = [&](const char* call, QZQTU_Error result) {
        if (result != QZQTU_OK) {
            printLibraryError(context.err, call, result);
        }
        return result;
    };
    QZQTU_Error result = QZQTU_OK;
    if (times.start) {
        // The library takes an offset or stop time of 0 as "not given"; an
        // explicit 0 is sent on its own below.
        result = check("QZQTU_SetReplayStartTime",
                       QZQTU_SetReplayStartTime(handle, *times.start, times.offset.value_or(0),
                                                times.stop.value_or(0)));
        if (result == QZQTU_OK && times.offset == uint64_t{0}) {
            result = check("QZQTU_SetReplayOffset", QZQTU_SetReplayOffset(handle, 0));
        }
        if (result == QZQTU_OK && times.stop == uint64_t{0}) {
            result = check("QZQTU_SetReplayStopTime", QZQTU_SetReplayStopTime(handle, 0));
        }
    } else {
        if (times.offset) {
            result = check("QZQTU_SetReplayOffset", QZQTU_SetReplayOffset(handle, *times.offset));
        }
        if (result == QZQTU_OK && times.stop) {
            result = check("QZQTU_SetReplayStopTime", QZQTU_SetReplayStopTime(handle, *times.stop));
        }
    }
    if (result != QZQTU_OK) {
        return result;
    }
    uint64_t start = 0;
    uint64_t offset = 0;
    uint64_t stop = 0;
    result = check("QZQTU_GetReplayStartTime", QZQTU_GetReplayStartTime(handle, &start, &offset, &stop));
    if (result != QZQTU_OK) {
        return result;
    }
    if (json) {
        context.out << nlohmann::json{{"start", start}, {"offset", offset}, {"stop", stop}}.dump() << "\n";
    } else {
        context.out << "start time  " << start << "\noffset      " << offset << "\nstop time   " << stop << "\n";
    }
    return QZQTU_OK;
}

int runSimple(const Connection& connection, const CliContext& context, const char* call,
              QZQTU_Error (*function)(int32_t), const char* done) {
    Channel channel;
    if (const QZQTU_Error result = channel.open(connection, context.err)) {
        return result;
    }
    const QZQTU_Error result = function(channel.handle());
    if (result != QZQTU_OK) {
        printLibraryError(context.err, call, result);
        return result;
    }
    context.out << done << " on " << describe(connection) << "\n";
    return QZQTU_OK;
}

struct StatusOptions {
    bool watch = false;
    uint32_t intervalMs = 1000;
    std::optional<uint64_t> count;
    uint32_t waitMs = 1000;
};

int runStatus(const Connection& connection, const CliContext& context, const StatusOptions& options, bool json) {
    Channel channel;
    if (const QZQTU_Error result = channel.open(connection, context.err)) {
        return result;
    }
    const int32_t handle = channel.handle();
    // The unit learns where to send status messages from our first request.
    if (const QZQTU_Error result = QZQTU_IsOutputChannelAvailable(handle)) {
        printLibraryError(context.err, "QZQTU_IsOutputChannelAvailable", result);
        return result;
    }
    const uint64_t lines = options.watch ? options.count.value_or(UINT64_MAX) : 1;
    const auto interval = std::chrono::milliseconds(options.intervalMs);
    auto next = Clock::now();
    for (uint64_t line = 0; line < lines; ++line) {
        if (line > 0) {
            next += interval;
            // Sleep in short steps so Ctrl-C ends the watch promptly.
            while (Clock::now() < next && !(context.interrupted && context.interrupted->load())) {
                const auto step = Clock::now() + std::chrono::milliseconds(50);
                std::this_thread::sleep_until(std::min(next, step));
            }
        }
        if (context.interrupted && context.interrupted->load()) {
            break;
        }
        QZQTU_ReplayState state{};
        const QZQTU_Error result = line == 0 ? awaitStatus(handle, options.waitMs, state)
                                             : QZQTU_GetCurrentState(handle, &state);
        if (result != QZQTU_OK) {
            printLibraryError(context.err, "QZQTU_GetCurrentState", result);
            return result;
        }
        if (json) {
            context.out << statusJson(state).dump() << "\n";
        } else {
            context.out << formatStatus(state) << "\n";
        }
        context.out.flush();
    }
    return QZQTU_OK;
}

struct StreamCommandOptions {
    GeometryOptions geometry;
    std::string file;
    double fps = 0;
    std::optional<uint64_t> frames;
    std::optional<double> seconds;
    uint16_t firstFrame = 0;
    uint8_t tag = 0;
    uint32_t stallTimeoutMs = 5000;
    std::optional<bool> progress;
};

int runStream(const Connection& connection, const CliContext& context, const StreamCommandOptions& options,
              bool json) {
    StreamPlan plan;
    if (auto error = resolveGeometry(options.geometry, plan.geometry)) {
        context.err << "error: " << *error << "\n";
        return kExitUsage;
    }
    plan.fps = options.fps;
    plan.frames = options.frames;
    plan.seconds = options.seconds;
    if (!plan.frames && !plan.seconds) {
        plan.frames = 100;
    }
    plan.firstFrame = options.firstFrame;
    plan.tag = options.tag;
    plan.stallTimeoutMs = options.stallTimeoutMs;

    std::unique_ptr<FrameSource> source;
    if (options.file.empty()) {
        source = std::make_unique<SyntheticFrames>(plan.geometry);
    } else {
        auto file = std::make_unique<FileFrames>(options.file, plan.geometry);
        if (file->openError()) {
            context.err << "error: " << *file->openError() << "\n";
            return kExitNoInput;
        }
        source = std::move(file);
    }

    Channel channel;
    if (const QZQTU_Error result = channel.open(connection, context.err)) {
        return result;
    }
    const QZQTU_Error init =
        QZQTU_InitOutputChannel(channel.handle(), plan.geometry.lineSize, plan.geometry.lineCount);
    if (init != QZQTU_OK) {
        printLibraryError(context.err, "QZQTU_InitOutputChannel", init);
        return init;
    }
    if (!json) {
        context.out << "streaming " << plan.geometry.lineCount << " lines of " << plan.geometry.lineSize
                    << " bytes per frame to " << describe(connection) << "\n";
        context.out.flush();
    }

    StreamHooks hooks;
    hooks.interrupted = context.interrupted;
    const bool showProgress = options.progress.value_or(context.terminal);
    if (showProgress) {
        hooks.progress = [&](const StreamTotals& totals) {
            context.err << "\r" << formatProgress(totals) << "\033[K" << std::flush;
        };
    }
    StreamTotals totals;
    const QZQTU_Error result = streamFrames(channel.handle(), plan, *source, totals, hooks, context.err);
    if (showProgress) {
        context.err << "\r" << formatProgress(totals) << "\033[K\n" << std::flush;
    }
    if (json) {
        nlohmann::json summary = summaryJson(totals);
        summary["lineSize"] = plan.geometry.lineSize;
        summary["lineCount"] = plan.geometry.lineCount;
        summary["result"] = result;
        context.out << summary.dump() << "\n";
    } else {
        printSummary(context.out, totals);
    }
    return result == kSourceFailed ? kExitNoInput : result;
}

}  // namespace

int runCli(int argc, const char* const* argv, const CliContext& context) {
    CLI::App app{"qtu-cli: drives a QTU Unit through the QZQTUApi library"};
    app.name("qtu-cli");
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("qtu-cli ") + QTU_VERSION);

    // CLI11 reads 64-bit numbers with strtoull and keeps its saturated result
    // on overflow, so "18446744073709551616" would become the largest value.
    const CLI::Validator fitsIn64Bits(
        [](std::string& text) {
            errno = 0;
            char* end = nullptr;
            std::strtoull(text.c_str(), &end, 0);
            return errno == ERANGE ? "'" + text + "' is past the largest value, 18446744073709551615"
                                   : std::string();
        },
        "UINT64");

    // Range checks let NaN through (every comparison with it is false), and a
    // NaN --seconds would never end the stream.
    const CLI::Validator aNumber(
        [](std::string& text) {
            return std::isnan(std::strtod(text.c_str(), nullptr)) ? "'" + text + "' is not a number" : std::string();
        },
        "NUMBER");

    ConnectionOptions connection;
    bool json = false;
    auto ipCheck = [](uint16_t defaultPort) {
        return CLI::Validator(
            [defaultPort](std::string& text) {
                Endpoint endpoint;
                auto error = parseEndpoint(text, defaultPort, endpoint);
                return error ? *error : std::string();
            },
            "IP[:PORT]");
    };
    app.add_option("--control", connection.control, "unit control interface IP[:PORT] (port 65024 when not given)")
        ->check(ipCheck(kDefaultControlPort))
        ->capture_default_str();
    app.add_option("--data", connection.data,
                   "unit sensor-data interface IP[:BASEPORT] (base port 61440 when not given)")
        ->check(ipCheck(kDefaultDataBasePort))
        ->capture_default_str();
    app.add_option("--channel", connection.channel, "output channel of the unit")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--local-ip", connection.localIp, "local address of the control socket")
        ->check(CLI::Validator(
            [](std::string& text) {
                return isIpv4(text) ? std::string() : "'" + text + "' is not a dotted IPv4 address";
            },
            "IP"))
        ->capture_default_str();
    app.add_option("--local-port", connection.localPort, "local port of the control socket (0: any)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--max-payload", connection.maxPayload, "data bytes per datagram, without the 24-byte header")
        ->check(CLI::Range(kSmallestMaxPayload, kLargestMaxPayload))
        ->capture_default_str();
    app.add_option("--timeout-get", connection.timeoutGetMs, "ms to wait for each control reply")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--timeout-stream", connection.timeoutStreamMs, "ms one send may wait for unit buffers")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_flag("--json", json, "print results as JSON");

    auto* ping = app.add_subcommand("ping", "check that both unit interfaces answer an ICMP echo");
    uint32_t statusWaitMs = 1000;
    auto* info = app.add_subcommand("info", "channel state, frame size, replay times and last status");
    info->add_option("--status-wait", statusWaitMs, "ms to wait for the unit's first status message")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    TimesOptions times;
    auto* setTimes = app.add_subcommand("set-times", "set the replay start time, offset and stop time");
    setTimes->add_option("--start", times.start, "replay start time (ns)")
        ->check(CLI::NonNegativeNumber)
        ->check(fitsIn64Bits);
    setTimes->add_option("--offset", times.offset, "replay offset (ns)")
        ->check(CLI::NonNegativeNumber)
        ->check(fitsIn64Bits);
    setTimes->add_option("--stop", times.stop, "replay stop time (ns)")
        ->check(CLI::NonNegativeNumber)
        ->check(fitsIn64Bits);

    auto* reset = app.add_subcommand("reset", "reset the channel in the unit");
    auto* clearFlags = app.add_subcommand("clear-flags", "clear the channel's status flags in the unit");

    StatusOptions status;
    auto* statusCommand = app.add_subcommand("status", "show the channel status the unit reports");
    statusCommand->add_flag("--watch", status.watch, "keep printing the status until Ctrl-C");
    statusCommand->add_option("--interval", status.intervalMs, "ms between two lines of --watch")
        ->check(CLI::Range(1u, 3600000u))
        ->capture_default_str();
    statusCommand->add_option("--count", status.count, "with --watch: stop after this many lines")
        ->check(CLI::PositiveNumber)
        ->check(fitsIn64Bits);
    statusCommand->add_option("--status-wait", status.waitMs, "ms to wait for the unit's first status message")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    StreamCommandOptions stream;
    auto* streamCommand = app.add_subcommand("stream", "stream frames, one call per line");
    auto* width = streamCommand->add_option("--width", stream.geometry.width, "pixels per line (default 1920)");
    auto* height = streamCommand->add_option("--height", stream.geometry.height, "lines per frame (default 1080)");
    auto* bpp = streamCommand->add_option("--bpp", stream.geometry.bitsPerPixel, "bits per pixel (default 16)");
    auto* lineSize = streamCommand->add_option("--line-size", stream.geometry.lineSize, "bytes per line (block)");
    auto* lineCount = streamCommand->add_option("--line-count", stream.geometry.lineCount, "lines per frame");
    for (auto* size : {width, height, bpp, lineSize, lineCount}) {
        size->check(CLI::NonNegativeNumber);
    }
    for (auto* byImage : {width, height, bpp}) {
        byImage->excludes(lineSize)->excludes(lineCount);
    }
    streamCommand->add_option("--file", stream.file, "raw frames to send in turn (default: a test pattern)");
    streamCommand->add_option("--fps", stream.fps, "frames per second (default: as fast as credit allows)")
        ->check(aNumber)
        ->check(CLI::Range(0.0, 100000.0));
    auto* frames = streamCommand->add_option("--frames", stream.frames, "frames to send (default 100)")
        ->check(CLI::NonNegativeNumber)
        ->check(fitsIn64Bits);
    auto* seconds = streamCommand->add_option("--seconds", stream.seconds, "stream for this long")
        ->check(aNumber)
        ->check(CLI::PositiveNumber);
    frames->excludes(seconds);
    streamCommand->add_option("--first-frame", stream.firstFrame, "frame counter of the first frame")
        ->check(CLI::Range(0, 65535));
    streamCommand->add_option("--tag", stream.tag, "tag byte of every block")->check(CLI::Range(0, 255));
    streamCommand->add_option("--stall-timeout", stream.stallTimeoutMs,
                              "ms one line may go without credit before the stream gives up")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    // A flag of its own, not std::optional<bool>: CLI11 fills the optional
    // with false when neither form is given, which hid the line on a terminal.
    bool progressFlag = false;
    auto* progress = streamCommand->add_flag("--progress,!--no-progress", progressFlag,
                                             "live progress line on standard error (default: when it is a terminal)");

    try {
        app.parse(argc, argv);
        if (setTimes->parsed() && !times.start && !times.offset && !times.stop) {
            throw CLI::RequiredError("set-times needs --start, --offset or --stop");
        }
    } catch (const CLI::ParseError& e) {
        // --help and --version end with 0, every other parse error is a usage error.
        return app.exit(e, context.out, context.err) == 0 ? 0 : kExitUsage;
    }
    if (progress->count() > 0) {
        stream.progress = progressFlag;
    }

    std::ostream* jsonOut = json && context.jsonOutput ? context.jsonOutput() : nullptr;
    const CliContext active{jsonOut != nullptr ? *jsonOut : context.out, context.err, context.interrupted,
                            context.terminal, {}};
    int result = 0;
    try {
        const Connection resolved(connection);
        if (ping->parsed()) {
            result = runPing(resolved, active, json);
        } else if (info->parsed()) {
            result = runInfo(resolved, active, statusWaitMs, json);
        } else if (setTimes->parsed()) {
            result = runSetTimes(resolved, active, times, json);
        } else if (reset->parsed()) {
            result = runSimple(resolved, active, "QZQTU_ResetChannel", QZQTU_ResetChannel, "reset");
        } else if (clearFlags->parsed()) {
            result = runSimple(resolved, active, "QZQTU_ClearStatusFlags", QZQTU_ClearStatusFlags,
                               "status flags cleared");
        } else if (statusCommand->parsed()) {
            result = runStatus(resolved, active, status, json);
        } else {
            result = runStream(resolved, active, stream, json);
        }
    } catch (const std::invalid_argument& e) {
        context.err << "error: " << e.what() << "\n";
        return kExitUsage;
    }
    // A failure keeps its own code; a run that ended (or went on) under Ctrl-C reports it.
    if (result == 0 && context.interrupted != nullptr && context.interrupted->load()) {
        return kExitInterrupted;
    }
    return result;
}

}  // namespace qtucli
