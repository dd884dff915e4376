// Version the engine announces as its setting "Engine.version". Components
// that start threads running free functions need at least 4.7.0.
#pragma once

namespace vtro_engine {
inline constexpr const char kEngineVersion[] = "4.7.0";
}
