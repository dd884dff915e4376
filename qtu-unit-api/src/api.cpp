// Exported functions of the interface and registry: thin wrappers that never
// let an exception cross the C boundary. Failures that the result table has
// no code for (the receiver thread can't be started, memory runs out) are
// reported as QZQTU_INTERNAL_ERROR, "Internal error".
#include "QZQTUApi.h"
#include "unit_api.h"

extern "C" {

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_IsInputInterfaceAvailable(const QZQTU_InputInterface* inputInterface) {
    try {
        return qtu::UnitApi::instance().isInputInterfaceAvailable(inputInterface);
    } catch (...) {
        return QZQTU_INTERNAL_ERROR;
    }
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_RegisterOutputChannel(const QZQTU_InputInterface* inputInterface,
                                                             int32_t channelIndex, int32_t* handle) {
    try {
        return qtu::UnitApi::instance().registerOutputChannel(inputInterface, channelIndex, handle);
    } catch (...) {
        return QZQTU_INTERNAL_ERROR;
    }
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_UnregisterOutputChannel(int32_t handle) {
    try {
        return qtu::UnitApi::instance().unregisterOutputChannel(handle);
    } catch (...) {
        return QZQTU_INTERNAL_ERROR;
    }
}

QZQTU_API const char* QZQTU_CALL QZQTU_ErrorToString(uint32_t code) {
    static const char* const kTexts[] = {
        "No error",
        "Internal error",
        "Control interface not available",
        "Data interface not available",
        "Channel not available",
        "Invalid channel handle",
        "Invalid channel index",
        "Invalid timing",
        "Invalid pointer",
        "Error in control socket",
        "Error in data socket",
        "Timeout",
        "Invalid inputInterface configuration",
        "Channel already registered",
        "Data not available",
        "Packet fragmentation, maxPayloadSize too big for MTU",
    };
    static_assert(sizeof kTexts / sizeof kTexts[0] == QZQTU_PACKET_FRAGMENTATION + 1);
    return code < sizeof kTexts / sizeof kTexts[0] ? kTexts[code] : "Invalid error code";
}

}  // extern "C"
