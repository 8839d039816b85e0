// Any sequence of export calls with any arguments, over fake virtual displays: the library must
// refuse what is out of range and never crash or touch memory it does not own.
#include "libPhantomScreen/Exports.h"
#include "libPhantomScreen/Platform.h"
#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

using namespace vl;
using namespace vl::ps;

// This build has no backend of its own: each input installs a fake.
std::shared_ptr<VirtualDisplayPlatform> vl::ps::makeDefaultPlatform() {
    return nullptr;
}

namespace {

// Mostly indices near the valid ranges, sometimes anything.
int32_t index(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-2, 24)
                            : in.ConsumeIntegral<int32_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FakeDisplayService arrangement;
    arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
    installPlatform(std::make_shared<FakeVirtualDisplays>(arrangement));

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        uint32_t id = 0;
        uint32_t* idOut = in.ConsumeBool() ? &id : nullptr;
        const char* text = nullptr;
        switch (in.ConsumeIntegralInRange(0, 22)) {
            case 0:
                initLib();
                break;
            case 1:
                closeLib();
                break;
            case 2:
                setDisplayCount(in.ConsumeIntegral<uint32_t>());
                break;
            case 3: {
                auto name = in.ConsumeRandomLengthString(32);
                setBasename(in.ConsumeBool() ? name.c_str() : nullptr);
                break;
            }
            case 4:
                text = getAppSupportFolder();
                break;
            case 5:
                addDisplay(index(in), in.ConsumeIntegral<int32_t>(), idOut);
                break;
            case 6:
                initDisplay(index(in));
                break;
            case 7:
                closeDisplay(index(in));
                break;
            case 8:
                start(index(in), index(in), in.ConsumeIntegral<int32_t>(), idOut);
                break;
            case 9:
                startWithDeMain(index(in), in.ConsumeIntegral<int32_t>(), idOut);
                break;
            case 10:
                stop(index(in));
                break;
            case 11:
                virtualMonitorOn(index(in));
                break;
            case 12:
                getModeCount();
                break;
            case 13:
                getModeWidth(index(in));
                break;
            case 14:
                getModeHeight(index(in));
                break;
            case 15:
                getModeRefreshRate(index(in));
                break;
            case 16:
                text = getDisplayName(index(in));
                break;
            case 17:
                getSerialNumber(index(in));
                break;
            case 18:
                getProductID(index(in));
                break;
            case 19:
                getVendorID(index(in));
                break;
            case 20:
                isVirtualMonitor(in.ConsumeIntegral<uint32_t>());
                break;
            case 21: {
                auto bytes = in.ConsumeRandomLengthString(32);
                PSString string{bytes.data(), bytes.size()};
                text = nsString2char(in.ConsumeBool() ? &string : nullptr);
                break;
            }
            case 22: {
                PSEvent event{in.ConsumeIntegralInRange<int32_t>(0, 12),
                              in.ConsumeFloatingPoint<double>(), in.ConsumeFloatingPoint<double>()};
                cursorEventCallback(nullptr, event.type, in.ConsumeBool() ? &event : nullptr,
                                    nullptr);
                break;
            }
        }
        if (text) (void)std::strlen(text);  // text results are whole C strings
    }
    installPlatform(nullptr);
    return 0;
}
