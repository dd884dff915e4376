// Exit statuses of vtro-engine, one convention with the other tools of the
// repository (usage errors 64, interrupted runs 130).
#pragma once

namespace vtro_engine {

inline constexpr int kExitOk = 0;
// A package or file that cannot be read or loaded, a start that failed, a
// component that ended with an error.
inline constexpr int kExitFailed = 1;
// `run`: the diagram cannot be read or does not hold together (or a --set
// does not fit it); nothing was started.
inline constexpr int kExitInvalidDiagram = 2;
// A bad command line: an unknown option, a missing or malformed argument, a
// value out of range; for `start` also a model, instance name, property
// value, action, setting or timed event the engine or the component refused
// before the start. Nothing was started.
inline constexpr int kExitUsage = 64;
// Standard output could not be written (`list`, `scan`).
inline constexpr int kExitOutput = 74;
// Ctrl-C or SIGTERM ended a `start` or `run` (after the components stopped),
// unless a component failed first.
inline constexpr int kExitInterrupted = 130;

}  // namespace vtro_engine
