// libPhantomScreen: the library's export table, plain C names bound by name at run time. A slot
// is an index into the display slots, a mode an index into the mode table. Text results are
// owned by the library and stay valid until the next call of the same export.
#pragma once

#include <cstddef>
#include <cstdint>

#define PS_EXPORT __attribute__((visibility("default")))

// The library's own event record for cursorEventCallback.
struct PSEvent {
    std::int32_t type;
    double x;
    double y;
};
inline constexpr std::int32_t psEventMouseMoved = 5;

// A counted UTF-8 string, the argument of nsString2char.
struct PSString {
    const char* data;
    std::size_t length;
};

extern "C" {
PS_EXPORT const char* getVersion();
PS_EXPORT int32_t initLib();
PS_EXPORT int32_t closeLib();
PS_EXPORT int32_t setDisplayCount(uint32_t count);
PS_EXPORT void setBasename(const char* name);
PS_EXPORT const char* getAppSupportFolder();
PS_EXPORT int32_t addDisplay(int32_t mode, int32_t portrait, uint32_t* displayID);
PS_EXPORT int32_t initDisplay(int32_t slot);
PS_EXPORT int32_t closeDisplay(int32_t slot);
PS_EXPORT int32_t start(int32_t slot, int32_t mode, int32_t autoconfig, uint32_t* displayID);
PS_EXPORT int32_t startWithDeMain(int32_t slot, int32_t code, uint32_t* displayID);
PS_EXPORT int32_t stop(int32_t slot);
PS_EXPORT bool virtualMonitorOn(int32_t slot);
PS_EXPORT int32_t getModeCount();
PS_EXPORT int32_t getModeWidth(int32_t mode);
PS_EXPORT int32_t getModeHeight(int32_t mode);
PS_EXPORT float getModeRefreshRate(int32_t mode);
PS_EXPORT const char* getDisplayName(int32_t slot);
PS_EXPORT uint32_t getSerialNumber(int32_t slot);
PS_EXPORT uint32_t getProductID(int32_t slot);
PS_EXPORT uint32_t getVendorID(int32_t slot);
PS_EXPORT int32_t isVirtualMonitor(uint32_t displayID);
PS_EXPORT const char* nsString2char(const PSString* string);
}

// Exported with its parameter types in its symbol, as event-tap callbacks are.
PS_EXPORT PSEvent* cursorEventCallback(void* proxy, int32_t type, PSEvent* event, void* userInfo);
