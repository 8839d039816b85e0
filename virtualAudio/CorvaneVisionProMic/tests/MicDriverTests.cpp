// The driver driven through its interface table, as an audio server drives it.
#include "MicDriver.h"
#include "PropertyObject.h"

#include "base/testing/Eventually.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace vl::mic {
namespace {

constexpr std::uint32_t sel(const char (&s)[5]) {
    return VL_FOURCC(s[0], s[1], s[2], s[3]);
}
AudioObjectPropertyAddress global(std::uint32_t selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// A host that records what the driver tells it.
class RecordingHost {
  public:
    RecordingHost() {
        slot_.iface = {&RecordingHost::changed, nullptr, nullptr, nullptr, &RecordingHost::request};
        slot_.self = this;
    }
    AudioServerPlugInHostRef ref() const { return &slot_.iface; }

    std::vector<std::uint32_t> changes() {
        std::lock_guard guard(mutex_);
        return changes_;
    }
    void clear() {
        std::lock_guard guard(mutex_);
        changes_.clear();
    }
    int configurationRequests() const { return requests_; }

  private:
    struct Slot {
        AudioServerPlugInHostInterface iface;
        RecordingHost* self;
    };
    static RecordingHost* from(AudioServerPlugInHostRef host) {
        return reinterpret_cast<const Slot*>(host)->self;
    }
    static OSStatus changed(AudioServerPlugInHostRef host, AudioObjectID object, std::uint32_t n,
                            const AudioObjectPropertyAddress* addresses) {
        auto* self = from(host);
        std::lock_guard guard(self->mutex_);
        for (std::uint32_t i = 0; i < n; ++i)
            if (object == kDeviceObjectID) self->changes_.push_back(addresses[i].mSelector);
        return 0;
    }
    static OSStatus request(AudioServerPlugInHostRef host, AudioObjectID, std::uint64_t, void*) {
        ++from(host)->requests_;
        return 0;
    }

    Slot slot_;
    std::mutex mutex_;
    std::vector<std::uint32_t> changes_;
    std::atomic<int> requests_{0};
};

class MicDriverTest : public ::testing::Test {
  protected:
    MicDriverTest() : driver_(clock()), ref_(driver_.driverRef()), table_(**ref_) {
        EXPECT_EQ(table_.Initialize(ref_, host_.ref()), 0);
    }
    HostClock clock() {
        HostClock c;
        c.now = [this] { return now_.load(); };
        return c;
    }

    OSStatus get(AudioObjectID object, AudioObjectPropertyAddress address, void* out,
                 std::uint32_t size, std::uint32_t* written = nullptr,
                 const void* qualifier = nullptr, std::uint32_t qualifierSize = 0) {
        std::uint32_t ignored = 0;
        return table_.GetPropertyData(ref_, object, 0, &address, qualifierSize, qualifier, size,
                                      written ? written : &ignored, out);
    }
    std::uint32_t getU32(AudioObjectID object, std::uint32_t selector) {
        std::uint32_t v = 0xdeadbeef;
        EXPECT_EQ(get(object, global(selector), &v, 4), 0);
        return v;
    }
    std::string getString(AudioObjectID object, std::uint32_t selector) {
        PropertyObjectRef s = nullptr;
        EXPECT_EQ(get(object, global(selector), &s, 8), 0);
        std::string text(reinterpret_cast<const char*>(s->bytes), s->length);
        PropertyObjectRelease(s);
        return text;
    }
    std::int64_t getNumber(std::uint32_t selector) {
        PropertyObjectRef n = nullptr;
        EXPECT_EQ(get(kDeviceObjectID, global(selector), &n, 8), 0);
        EXPECT_EQ(n->type, kPropertyObjectNumber);
        const auto v = n->number;
        PropertyObjectRelease(n);
        return v;
    }
    OSStatus setObject(std::uint32_t selector, PropertyObjectRef object) {
        const auto address = global(selector);
        const OSStatus status =
            table_.SetPropertyData(ref_, kDeviceObjectID, 0, &address, 0, nullptr, 8, &object);
        PropertyObjectRelease(object);
        return status;
    }
    OSStatus setNumber(std::uint32_t selector, std::int64_t value) {
        return setObject(selector, PropertyNumberCreate(value));
    }
    OSStatus push(const std::vector<float>& samples, std::size_t bytes) {
        return setObject(kMicPCM, PropertyDataCreate(samples.data(), bytes));
    }
    std::vector<float> render(std::uint32_t frames) {
        std::vector<float> out(frames * 2, 9.0f);
        EXPECT_EQ(table_.DoIOOperation(ref_, kDeviceObjectID, kStreamObjectID, 0,
                                       kAudioServerPlugInIOOperationReadInput, frames, nullptr,
                                       out.data(), nullptr),
                  0);
        return out;
    }

    std::atomic<std::uint64_t> now_{1'000'000};
    RecordingHost host_;
    MicDriver driver_;
    AudioServerPlugInDriverRef ref_;
    AudioServerPlugInDriverInterface& table_;
};

TEST(MicDriverPlugIn, FactoryAndQueryInterfaceAnswerOnlyTheirUUIDs) {
    void* library = dlopen(MIC_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto factory =
        reinterpret_cast<AudioServerPlugInFactory>(dlsym(library, "SwiftVirtualMic_CreateDriver"));
    ASSERT_NE(factory, nullptr);

    const AudioPlugInUUID pluginType = kAudioServerPlugInTypeUUIDBytes;
    const AudioPlugInUUID driverInterface = kAudioServerPlugInDriverInterfaceUUIDBytes;
    const AudioPlugInUUID unknown = kIUnknownUUIDBytes;
    EXPECT_EQ(factory(nullptr, &driverInterface), nullptr);
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);
    auto ref = static_cast<AudioServerPlugInDriverRef>(factory(nullptr, &pluginType));
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(factory(nullptr, &pluginType), ref);  // one driver per process

    void* out = nullptr;
    EXPECT_EQ((*ref)->QueryInterface(ref, &driverInterface, &out), 0);
    EXPECT_EQ(out, ref);
    out = nullptr;
    EXPECT_EQ((*ref)->QueryInterface(ref, &unknown, &out), 0);
    EXPECT_EQ(out, ref);
    EXPECT_EQ((*ref)->QueryInterface(ref, &pluginType, &out), E_NOINTERFACE);
    EXPECT_EQ((*ref)->QueryInterface(ref, &unknown, nullptr), E_NOINTERFACE);
    EXPECT_EQ((*ref)->QueryInterface(ref, nullptr, &out), E_NOINTERFACE);
    EXPECT_EQ((*ref)->AddRef(ref), 1u);
    EXPECT_EQ((*ref)->Release(ref), 1u);

    // The plug-in's device is the one the server looks up.
    RecordingHost host;
    EXPECT_EQ((*ref)->Initialize(ref, host.ref()), 0);
    PropertyObjectRef uid = PropertyStringCreate(kDeviceUID);
    AudioObjectID device = 0;
    std::uint32_t size = 0;
    const auto uidd = global(sel("uidd"));
    EXPECT_EQ((*ref)->GetPropertyData(ref, kPlugInObjectID, 0, &uidd, 8, &uid, 4, &size, &device),
              0);
    EXPECT_EQ(device, kDeviceObjectID);
    PropertyObjectRelease(uid);
    EXPECT_EQ((*ref)->CreateDevice(ref, nullptr, nullptr, &device),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ((*ref)->DestroyDevice(ref, 2), kAudioHardwareUnsupportedOperationError);
    // The driver is never freed, so the library stays loaded.
}

TEST_F(MicDriverTest, ObjectsAnswerTheirTables) {
    EXPECT_EQ(getU32(kPlugInObjectID, sel("clas")), sel("aplg"));
    EXPECT_EQ(getU32(kPlugInObjectID, sel("bcls")), sel("aobj"));
    EXPECT_EQ(getU32(kPlugInObjectID, sel("stdv")), 0u);
    EXPECT_EQ(getString(kPlugInObjectID, sel("lmak")), "Corvane LLC");
    EXPECT_EQ(getString(kPlugInObjectID, sel("rsrc")), "");
    EXPECT_EQ(getU32(kPlugInObjectID, sel("dev#")), kDeviceObjectID);

    EXPECT_EQ(getU32(kDeviceObjectID, sel("clas")), sel("adev"));
    EXPECT_EQ(getU32(kDeviceObjectID, sel("stdv")), kPlugInObjectID);
    EXPECT_EQ(getString(kDeviceObjectID, sel("lnam")), "Corvane Vision Pro Microphone");
    EXPECT_EQ(getString(kDeviceObjectID, sel("uid ")), "CorvaneVisionProMic_UID");
    EXPECT_EQ(getString(kDeviceObjectID, sel("muid")), "CorvaneVisionProMic_ModelUID");
    EXPECT_EQ(getU32(kDeviceObjectID, sel("tran")), sel("virt"));
    EXPECT_EQ(getU32(kDeviceObjectID, sel("ring")), 16384u);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("livn")), 1u);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("hidn")), 1u);  // hidden until shown
    EXPECT_EQ(getU32(kDeviceObjectID, sel("dflt")), 1u);
    double rate = 0;
    EXPECT_EQ(get(kDeviceObjectID, global(sel("nsrt")), &rate, 8), 0);
    EXPECT_EQ(rate, 48000.0);

    AudioObjectPropertyAddress output{sel("dflt"), kAudioObjectPropertyScopeOutput, 0};
    std::uint32_t v = 7;
    EXPECT_EQ(get(kDeviceObjectID, output, &v, 4), 0);
    EXPECT_EQ(v, 0u);
    output.mSelector = sel("stm#");
    std::uint32_t written = 99;
    EXPECT_EQ(get(kDeviceObjectID, output, &v, 4, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("stm#")), kStreamObjectID);

    EXPECT_EQ(getU32(kStreamObjectID, sel("sdir")), 1u);
    EXPECT_EQ(getU32(kStreamObjectID, sel("term")), sel("micr"));
    AudioStreamBasicDescription format{};
    EXPECT_EQ(get(kStreamObjectID, global(sel("sfmt")), &format, sizeof(format), &written), 0);
    EXPECT_EQ(written, 40u);
    EXPECT_EQ(format.mFormatID, sel("lpcm"));
    EXPECT_EQ(format.mFormatFlags, 9u);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBytesPerFrame, 8u);
    AudioStreamRangedDescription ranged{};
    EXPECT_EQ(get(kStreamObjectID, global(sel("pfta")), &ranged, sizeof(ranged), &written), 0);
    EXPECT_EQ(written, 56u);
    EXPECT_EQ(ranged.mSampleRateRange.mMaximum, 48000.0);
}

TEST_F(MicDriverTest, SizesErrorsAndTruncation) {
    std::uint32_t size = 0;
    auto sizeOf = [&](AudioObjectID object, std::uint32_t selector) {
        const auto address = global(selector);
        size = 12345;
        return table_.GetPropertyDataSize(ref_, object, 0, &address, 0, nullptr, &size);
    };
    EXPECT_EQ(sizeOf(kDeviceObjectID, sel("cust")), 0);
    EXPECT_EQ(size, 72u);
    EXPECT_EQ(sizeOf(kDeviceObjectID, sel("nsr#")), 0);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(sizeOf(kDeviceObjectID, sel("mpcm")), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(sizeOf(kDeviceObjectID, sel("lnam")), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(sizeOf(kDeviceObjectID, sel("ctrl")), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(sizeOf(kStreamObjectID, sel("sfma")), 0);
    EXPECT_EQ(size, 56u);
    EXPECT_EQ(sizeOf(9, sel("clas")), kAudioHardwareBadObjectError);
    EXPECT_EQ(sizeOf(kStreamObjectID, sel("mpcm")), kAudioHardwareUnknownPropertyError);

    std::uint32_t v;
    EXPECT_EQ(get(kDeviceObjectID, global(sel("clas")), &v, 3), kAudioHardwareBadPropertySizeError);
    double rate;
    EXPECT_EQ(get(kDeviceObjectID, global(sel("nsrt")), &rate, 4),
              kAudioHardwareBadPropertySizeError);
    PropertyObjectRef object = nullptr;
    EXPECT_EQ(get(kDeviceObjectID, global(sel("shau")), &object, 4),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(4, global(sel("clas")), &v, 4), kAudioHardwareBadObjectError);
    EXPECT_EQ(get(kDeviceObjectID, global(sel("zzzz")), &v, 4), kAudioHardwareUnknownPropertyError);

    // A list is cut to the space given.
    AudioServerPlugInCustomPropertyInfo infos[6]{};
    std::uint32_t written = 0;
    EXPECT_EQ(get(kDeviceObjectID, global(sel("cust")), infos, 30, &written), 0);
    EXPECT_EQ(written, 24u);
    EXPECT_EQ(infos[0].mSelector, sel("shau"));
    EXPECT_EQ(infos[1].mSelector, sel("port"));
    EXPECT_EQ(infos[2].mSelector, 0u);
    EXPECT_EQ(get(kDeviceObjectID, global(sel("cust")), infos, sizeof(infos), &written), 0);
    EXPECT_EQ(written, 72u);
    const std::uint32_t order[] = {sel("shau"), sel("port"), sel("warm"),
                                   sel("cldw"), sel("mpcm"), sel("mrun")};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(infos[i].mSelector, order[i]);
        EXPECT_EQ(infos[i].mPropertyDataType, sel("plst"));
        EXPECT_EQ(infos[i].mQualifierDataType, 0u);
    }
    std::uint32_t channels[2] = {};
    EXPECT_EQ(get(kDeviceObjectID, global(sel("dch2")), channels, 4, &written), 0);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(channels[0], 1u);
}

TEST_F(MicDriverTest, HasAndSettableCoverExactlyTheTables) {
    const char* deviceSelectors[] = {
        "bcls", "clas", "stdv", "lnam", "lmak", "uid ", "muid", "tran", "ownd", "akin", "clkd",
        "livn", "goin", "gone", "dflt", "sflt", "ltnc", "saft", "stm#", "ctrl", "nsrt", "nsr#",
        "hidn", "dch2", "ring", "cust", "shau", "port", "warm", "cldw", "mpcm", "mrun"};
    for (const char* s : deviceSelectors) {
        const auto a = global(VL_FOURCC(s[0], s[1], s[2], s[3]));
        EXPECT_TRUE(table_.HasProperty(ref_, kDeviceObjectID, 0, &a)) << s;
    }
    auto has = [&](AudioObjectID object, std::uint32_t selector) {
        const auto a = global(selector);
        return table_.HasProperty(ref_, object, 0, &a);
    };
    EXPECT_FALSE(has(kPlugInObjectID, sel("shau")));
    EXPECT_FALSE(has(kStreamObjectID, sel("lnam")));
    EXPECT_FALSE(has(kDeviceObjectID, sel("sfmt")));
    EXPECT_TRUE(has(kPlugInObjectID, sel("uidd")));
    EXPECT_FALSE(has(7, sel("clas")));

    auto settable = [&](AudioObjectID object, std::uint32_t selector) {
        const auto a = global(selector);
        Boolean out = 2;
        EXPECT_EQ(table_.IsPropertySettable(ref_, object, 0, &a, &out), 0);
        return out == 1;
    };
    for (auto s : {sel("shau"), sel("port"), sel("warm"), sel("cldw"), sel("mpcm"), sel("nsrt")})
        EXPECT_TRUE(settable(kDeviceObjectID, s));
    EXPECT_FALSE(settable(kDeviceObjectID, sel("mrun")));
    EXPECT_FALSE(settable(kDeviceObjectID, sel("lnam")));
    EXPECT_TRUE(settable(kStreamObjectID, sel("sfmt")));
    EXPECT_TRUE(settable(kStreamObjectID, sel("pft ")));
    EXPECT_FALSE(settable(kPlugInObjectID, sel("clas")));
    EXPECT_FALSE(settable(12, sel("clas")));
}

TEST_F(MicDriverTest, UidTranslatesOnlyTheMicrophone) {
    auto translate = [&](const char* text) {
        PropertyObjectRef uid = PropertyStringCreate(text);
        AudioObjectID device = 99;
        EXPECT_EQ(get(kPlugInObjectID, global(sel("uidd")), &device, 4, nullptr, &uid, 8), 0);
        PropertyObjectRelease(uid);
        return device;
    };
    EXPECT_EQ(translate("CorvaneVisionProMic_UID"), kDeviceObjectID);
    EXPECT_EQ(translate("CorvaneAudioDevice_UID"), 0u);
    EXPECT_EQ(translate(""), 0u);
    AudioObjectID device = 99;
    EXPECT_EQ(get(kPlugInObjectID, global(sel("uidd")), &device, 4), 0);  // no qualifier
    EXPECT_EQ(device, 0u);
}

TEST_F(MicDriverTest, CustomValuesNotifyAsTheContractSays) {
    EXPECT_EQ(setNumber(kShowAudio, 1), 0);
    EXPECT_EQ(setNumber(kShowAudio, 5), 0);  // still shown: no second notification
    EXPECT_EQ(host_.changes(), (std::vector<std::uint32_t>{kShowAudio, sel("hidn")}));
    EXPECT_EQ(getU32(kDeviceObjectID, sel("hidn")), 0u);
    EXPECT_EQ(getNumber(kShowAudio), 1);

    host_.clear();
    EXPECT_EQ(setNumber(kAudioPort, 8792), 0);
    EXPECT_EQ(setNumber(kAudioPort, 8792), 0);
    EXPECT_EQ(setNumber(kWarm, 1), 0);
    EXPECT_EQ(setNumber(kWarm, 1), 0);
    EXPECT_EQ(setNumber(kCooldown, 1), 0);
    EXPECT_EQ(host_.changes(), (std::vector<std::uint32_t>{kAudioPort, kWarm, kWarm, kCooldown}));
    EXPECT_EQ(getNumber(kAudioPort), 8792);
    EXPECT_EQ(getNumber(kWarm), 1);

    host_.clear();
    EXPECT_EQ(setNumber(kShowAudio, 0), 0);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("hidn")), 1u);
    EXPECT_EQ(host_.changes().size(), 2u);

    // Malformed data changes nothing and notifies nothing.
    host_.clear();
    EXPECT_EQ(setNumber(kAudioPort, std::int64_t(1) << 40), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(setObject(kWarm, PropertyDataCreate("x", 1)), kAudioHardwareBadPropertySizeError);
    PropertyObjectRef n = PropertyNumberCreate(3);
    const auto address = global(kWarm);
    EXPECT_EQ(table_.SetPropertyData(ref_, kDeviceObjectID, 0, &address, 0, nullptr, 4, &n),
              kAudioHardwareBadPropertySizeError);
    PropertyObjectRelease(n);
    EXPECT_EQ(getNumber(kAudioPort), 8792);
    EXPECT_TRUE(host_.changes().empty());
    EXPECT_EQ(setNumber(kMicRunning, 1), kAudioHardwareIllegalOperationError);
}

TEST_F(MicDriverTest, PushedPCMIsWhatRecordersRead) {
    std::vector<float> samples;
    for (int i = 0; i < 300; ++i) samples.push_back(float(i) / 1000.0f);
    EXPECT_EQ(push(samples, 7), 0);  // less than a frame: nothing, still fine
    EXPECT_EQ(driver_.pushedFrames(), 0u);
    EXPECT_EQ(push(samples, 1001), 0);  // 125 whole frames
    EXPECT_EQ(driver_.pushedFrames(), 125u);
    EXPECT_EQ(setObject(kMicPCM, PropertyNumberCreate(4)), kAudioHardwareBadPropertySizeError);

    auto out = render(200);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 250),
              std::vector<float>(samples.begin(), samples.begin() + 250));
    for (std::size_t i = 250; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f);
    EXPECT_EQ(driver_.renderCycles(), 1u);

    // Writes to other streams or operations touch nothing.
    std::vector<float> untouched(8, 3.0f);
    EXPECT_EQ(
        table_.DoIOOperation(ref_, kDeviceObjectID, 4, 0, kAudioServerPlugInIOOperationReadInput, 4,
                             nullptr, untouched.data(), nullptr),
        0);
    EXPECT_EQ(untouched[0], 3.0f);
    EXPECT_EQ(
        table_.DoIOOperation(ref_, 5, kStreamObjectID, 0, kAudioServerPlugInIOOperationReadInput, 4,
                             nullptr, untouched.data(), nullptr),
        kAudioHardwareBadObjectError);

    Boolean willDo = 9, inPlace = 9;
    EXPECT_EQ(table_.WillDoIOOperation(ref_, kDeviceObjectID, 0, sel("read"), &willDo, &inPlace),
              0);
    EXPECT_EQ(willDo, 1);
    EXPECT_EQ(inPlace, 1);
    EXPECT_EQ(table_.WillDoIOOperation(ref_, kDeviceObjectID, 0, sel("writ"), &willDo, &inPlace),
              0);
    EXPECT_EQ(willDo, 0);

    std::vector<float> oneSecondAndMore(50000 * 2);
    for (std::size_t i = 0; i < oneSecondAndMore.size(); ++i) oneSecondAndMore[i] = float(i);
    EXPECT_EQ(push(oneSecondAndMore, oneSecondAndMore.size() * 4), 0);
    out = render(48001);
    EXPECT_EQ(out[0], 4000.0f);  // the oldest 2,000 frames were overwritten
    EXPECT_EQ(out[95999], 99999.0f);
    EXPECT_EQ(out[96000], 0.0f);
}

TEST_F(MicDriverTest, RecordersAreCountedAndAnnouncedOnce) {
    using vl::testing::eventually;
    auto mrunCount = [&] {
        auto changes = host_.changes();
        return std::count(changes.begin(), changes.end(), kMicRunning);
    };
    push(std::vector<float>(20, 1.0f), 80);
    EXPECT_EQ(table_.StopIO(ref_, kDeviceObjectID, 1), 0);  // nobody running: nothing
    EXPECT_EQ(table_.StartIO(ref_, kDeviceObjectID, 1), 0);
    EXPECT_EQ(table_.StartIO(ref_, kDeviceObjectID, 2), 0);
    EXPECT_TRUE(eventually([&] { return mrunCount() == 1; }));
    EXPECT_EQ(getNumber(kMicRunning), 1);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("gone")), 1u);
    EXPECT_EQ(render(10)[0], 0.0f);  // the first start emptied the ring

    EXPECT_EQ(table_.StopIO(ref_, kDeviceObjectID, 1), 0);
    EXPECT_EQ(getNumber(kMicRunning), 1);
    EXPECT_EQ(table_.StopIO(ref_, kDeviceObjectID, 2), 0);
    EXPECT_EQ(getNumber(kMicRunning), 0);
    EXPECT_EQ(getU32(kDeviceObjectID, sel("goin")), 0u);
    EXPECT_TRUE(eventually([&] { return mrunCount() == 2; }));
    EXPECT_EQ(mrunCount(), 2);
    EXPECT_EQ(table_.StartIO(ref_, 3, 1), kAudioHardwareBadObjectError);
    EXPECT_EQ(table_.StopIO(ref_, 3, 1), kAudioHardwareBadObjectError);
}

TEST_F(MicDriverTest, ZeroTimeStampAdvancesInWholePeriodsFromTheAnchor) {
    const double period = driver_.hostTicksPerFrame() * 16384;  // ns at a 1/1 timebase
    EXPECT_NEAR(driver_.hostTicksPerFrame(), 1e9 / 48000.0, 1e-6);
    EXPECT_EQ(table_.StartIO(ref_, kDeviceObjectID, 1), 0);
    now_ += std::uint64_t(period * 2.5);
    double sampleTime = -1;
    std::uint64_t hostTime = 0, seed = 0;
    EXPECT_EQ(table_.GetZeroTimeStamp(ref_, kDeviceObjectID, 1, &sampleTime, &hostTime, &seed), 0);
    EXPECT_EQ(sampleTime, 2 * 16384.0);
    EXPECT_EQ(hostTime, 1'000'000 + std::uint64_t(2 * period));
    EXPECT_EQ(seed, 1u);
    EXPECT_EQ(table_.GetZeroTimeStamp(ref_, 9, 1, &sampleTime, &hostTime, &seed),
              kAudioHardwareBadObjectError);
    table_.StopIO(ref_, kDeviceObjectID, 1);
}

TEST_F(MicDriverTest, OnlyFortyEightKilohertzStereoFloatIsAccepted) {
    auto setRate = [&](double rate) {
        const auto a = global(sel("nsrt"));
        return table_.SetPropertyData(ref_, kDeviceObjectID, 0, &a, 0, nullptr, 8, &rate);
    };
    EXPECT_EQ(setRate(44100.0), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(setRate(48000.0), 0);
    EXPECT_EQ(host_.configurationRequests(), 0);

    AudioStreamBasicDescription format{};
    std::uint32_t written;
    get(kStreamObjectID, global(sel("sfmt")), &format, sizeof(format), &written);
    auto setFormat = [&](AudioStreamBasicDescription f, std::uint32_t size = 40) {
        const auto a = global(sel("pft "));
        return table_.SetPropertyData(ref_, kStreamObjectID, 0, &a, 0, nullptr, size, &f);
    };
    EXPECT_EQ(setFormat(format), 0);
    EXPECT_EQ(setFormat(format, 39), kAudioHardwareBadPropertySizeError);
    auto mono = format;
    mono.mChannelsPerFrame = 1;
    EXPECT_EQ(setFormat(mono), kAudioDeviceUnsupportedFormatError);
    auto slow = format;
    slow.mSampleRate = 44100;
    EXPECT_EQ(setFormat(slow), kAudioDeviceUnsupportedFormatError);

    EXPECT_EQ(table_.PerformDeviceConfigurationChange(ref_, 3, 48000, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table_.PerformDeviceConfigurationChange(ref_, 2, 44100, nullptr),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(table_.PerformDeviceConfigurationChange(ref_, 2, 48000, nullptr), 0);
}

}  // namespace
}  // namespace vl::mic
