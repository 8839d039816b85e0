// comm/testing: the whole environment of a control server made of fakes, recording every step
// the session asks of the window, input, clipboard and media roles in the order they came. A
// test may hook a step to act at that moment (on the thread the step runs on).
#pragma once

#include "comm/SessionEnvironment.h"
#include "comm/testing/TestIdentity.h"
#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/security/fake/MemoryKeychain.h"
#include "platform/videocodec/fake/FakeVideoCodecService.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vl::testing {

class StepRecorder {
  public:
    void record(std::string step) {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            steps_.push_back(step);
            if (auto found = hooks_.find(step); found != hooks_.end()) hook = found->second;
        }
        if (hook) hook();
    }
    std::vector<std::string> steps() const {
        std::lock_guard lock(mutex_);
        return steps_;
    }
    int count(const std::string& step) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(steps_.begin(), steps_.end(), step));
    }
    // Runs when the step is recorded, before the role returns.
    void onStep(const std::string& step, std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        hooks_[step] = std::move(hook);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> steps_;
    std::map<std::string, std::function<void()>> hooks_;
};

class TestControlSettings final : public ControlSettings {
  public:
    std::string password() override { return locked(password_); }
    std::string appUniqueID() override { return locked(appID_); }
    std::string machineName() override { return locked(machine_); }
    std::optional<std::string> machineIPAddress() override {
        std::lock_guard lock(mutex_);
        return address_;
    }
    int controlPort() override { return port_; }
    std::optional<TlsIdentity> tlsIdentity() override { return testIdentity(); }

    void setPassword(std::string password) { set(password_, std::move(password)); }
    void setMachineName(std::string name) { set(machine_, std::move(name)); }
    void setMachineIPAddress(std::optional<std::string> address) {
        std::lock_guard lock(mutex_);
        address_ = std::move(address);
    }
    void setControlPort(int port) { port_ = port; }

  private:
    std::string locked(const std::string& field) {
        std::lock_guard lock(mutex_);
        return field;
    }
    void set(std::string& field, std::string value) {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }
    std::mutex mutex_;
    std::string password_ = "Ez3Kq$vn";
    std::string appID_ = "3F2A0C1E-7B4D-4E8A-9C61-5D2B8E0F4A17";
    std::string machine_ = "mac";
    std::optional<std::string> address_ = "127.0.0.1";
    std::atomic<int> port_{8788};
};

class CountingSleepControl final : public SleepControl {
  public:
    void preventSystemSleepOrLock() override { ++prevented; }
    void restoreSystemSleepOrLock() override {
        if (prevented > restored) ++restored;
    }
    // Preventions not yet restored.
    int active() const { return prevented - restored; }
    std::atomic<int> prevented{0};
    std::atomic<int> restored{0};
};

class RecordingWindows final : public WindowManagement {
  public:
    explicit RecordingWindows(std::shared_ptr<StepRecorder> steps) : steps_(std::move(steps)) {}
    void rememberAllDisplays() override { steps_->record("rememberAllDisplays"); }
    void setMainDisplay(DisplayID id) override {
        steps_->record("setMainDisplay " + std::to_string(id));
    }
    void moveAllWindowsToDisplay(DisplayID id) override {
        steps_->record("moveAllWindowsToDisplay " + std::to_string(id));
    }
    int saveWindowLayout(const std::string& client, const std::string& resolution) override {
        steps_->record("saveWindowLayout " + client + " " + resolution);
        std::lock_guard lock(mutex_);
        layouts_[client] = resolution;
        return 0;
    }
    bool hasWindowLayout(const std::string& client, const std::string& resolution) override {
        std::lock_guard lock(mutex_);
        auto found = layouts_.find(client);
        return found != layouts_.end() && found->second == resolution;
    }
    void restoreWindowLayout(const std::string& client, const std::string& resolution) override {
        steps_->record("restoreWindowLayout " + client + " " + resolution);
    }
    void startNewWindowObserver(DisplayID id) override {
        steps_->record("startNewWindowObserver " + std::to_string(id));
    }
    void stopNewWindowObserver() override { steps_->record("stopNewWindowObserver"); }
    void restoreMainDisplay() override { steps_->record("restoreMainDisplay"); }
    void restoreAllWindows() override { steps_->record("restoreAllWindows"); }
    int moveWindowsToVDIfNotOnVD(DisplayID id) override {
        steps_->record("moveWindowsToVDIfNotOnVD " + std::to_string(id));
        return 0;
    }
    bool moveActiveWindowToDisplay(DisplayID id, bool alignRight) override {
        steps_->record("moveActiveWindowToDisplay " + std::to_string(id) +
                       (alignRight ? " right" : " left"));
        return false;
    }
    void setOnActiveWindowDisplayChanged(std::function<void(DisplayID)> callback) override {
        std::lock_guard lock(mutex_);
        activeWindowCallback_ = std::move(callback);
    }
    // What the window manager would do when the focused window changes display.
    void activeWindowMovedTo(DisplayID display) {
        std::function<void(DisplayID)> callback;
        {
            std::lock_guard lock(mutex_);
            callback = activeWindowCallback_;
        }
        if (callback) callback(display);
    }

  private:
    std::shared_ptr<StepRecorder> steps_;
    std::mutex mutex_;
    std::map<std::string, std::string> layouts_;  // client → resolution of the saved layout
    std::function<void(DisplayID)> activeWindowCallback_;
};

class RecordingInput final : public InputInjection {
  public:
    explicit RecordingInput(std::shared_ptr<StepRecorder> steps) : steps_(std::move(steps)) {}
    void handleMouseEvent(const MouseEvent& event, DisplayID display) override {
        steps_->record("handleMouseEvent " + std::to_string(display) + " " + event.toJson());
    }
    void handleMiceWheel(const MouseScroll& scroll) override {
        steps_->record("handleMiceWheel " + scroll.toJson());
    }
    void handleKeyboard(const KeyboardEvent& event) override {
        steps_->record("handleKeyboard " + event.toJson());
    }
    void startConstrainingCursor(DisplayID id) override {
        steps_->record("startConstrainingCursor " + std::to_string(id));
    }
    void stopConstrainingCursor() override { steps_->record("stopConstrainingCursor"); }

  private:
    std::shared_ptr<StepRecorder> steps_;
};

class RecordingClipboard final : public ClipboardSync {
  public:
    explicit RecordingClipboard(std::shared_ptr<StepRecorder> steps) : steps_(std::move(steps)) {}
    void startClipboardMonitor(Sender sendToClient) override {
        {
            std::lock_guard lock(mutex_);
            sender_ = std::move(sendToClient);
        }
        steps_->record("startClipboardMonitor");
    }
    void stopClipboardMonitor() override { steps_->record("stopClipboardMonitor"); }
    void handleClipboard(const ClipboardEvent& event) override {
        steps_->record("handleClipboard " + std::to_string(event.data.size()));
    }
    // A local copy, as the monitor would upload it.
    void upload(const ClipboardEvent& event) {
        Sender sender;
        {
            std::lock_guard lock(mutex_);
            sender = sender_;
        }
        if (sender) sender(event);
    }

  private:
    std::shared_ptr<StepRecorder> steps_;
    std::mutex mutex_;
    Sender sender_;
};

class RecordingMedia final : public AudioRelay, public MicRelay, public CamRelay {
  public:
    explicit RecordingMedia(std::shared_ptr<StepRecorder> steps) : steps_(std::move(steps)) {}
    std::optional<int> resolutionOfSupportedAudioChannels(Resolution) override { return 2; }
    void startAudio(std::optional<int> channels, const MediaPort& port) override {
        steps_->record("startAudio " + std::to_string(channels.value_or(0)) + " " +
                       std::to_string(port.port));
    }
    void stopAudio() override { steps_->record("stopAudio"); }
    void startVisionProMic(const MediaPort& port) override {
        steps_->record("startVisionProMic " + std::to_string(port.port));
    }
    void stopVisionProMic() override { steps_->record("stopVisionProMic"); }
    void startVisionProCam(const MediaPort& port) override {
        steps_->record("startVisionProCam " + std::to_string(port.port));
    }
    void stopVisionProCam() override { steps_->record("stopVisionProCam"); }

  private:
    std::shared_ptr<StepRecorder> steps_;
};

// The environment with its fakes kept at hand. The virtual displays come from the library at
// `libraryPath` (the fake platform's, in the tests that need displays; none loads otherwise).
// The waits for a virtual display and the arrangement's retries take their time from `clock`.
struct RecordingSessionEnvironment {
    explicit RecordingSessionEnvironment(
        std::string libraryPath = "/nonexistent/libPhantomScreen.so",
        TimerClock& clock = TimerClock::real()) {
        displays->addDisplay(FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        inf = std::make_shared<PhantomScreenInf>(*displays, DispatchQueue::main(),
                                                 std::move(libraryPath));
        virtualDisplays =
            std::make_shared<PhantomScreenService>(inf, DispatchQueue::global(), clock);
        arrangement = DisplayArrangement::make(*displays, DispatchQueue::main(), clock);
    }
    ~RecordingSessionEnvironment() {
        virtualDisplays->stopService();
        inf->release();
    }
    RecordingSessionEnvironment(const RecordingSessionEnvironment&) = delete;
    RecordingSessionEnvironment& operator=(const RecordingSessionEnvironment&) = delete;

    SessionEnvironment environment() const {
        SessionEnvironment environment;
        environment.settings = settings;
        environment.power = power;
        environment.shell = shell;
        environment.windows = windows;
        environment.input = input;
        environment.clipboard = clipboard;
        environment.audio = media;
        environment.mic = media;
        environment.camera = media;
        environment.capture = capture;
        environment.codec = codec;
        environment.displayArrangement = arrangement;
        environment.virtualDisplays = virtualDisplays;
        return environment;
    }

    std::vector<std::string> steps() const { return recorder->steps(); }
    int count(const std::string& step) const { return recorder->count(step); }

    std::shared_ptr<StepRecorder> recorder = std::make_shared<StepRecorder>();
    std::shared_ptr<TestControlSettings> settings = std::make_shared<TestControlSettings>();
    std::shared_ptr<CountingSleepControl> power = std::make_shared<CountingSleepControl>();
    std::shared_ptr<BasicAppShell> shell = std::make_shared<BasicAppShell>();
    std::shared_ptr<RecordingWindows> windows = std::make_shared<RecordingWindows>(recorder);
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>(recorder);
    std::shared_ptr<RecordingClipboard> clipboard = std::make_shared<RecordingClipboard>(recorder);
    std::shared_ptr<RecordingMedia> media = std::make_shared<RecordingMedia>(recorder);
    std::shared_ptr<FakeCaptureService> capture = std::make_shared<FakeCaptureService>();
    std::shared_ptr<FakeVideoCodecService> codec = std::make_shared<FakeVideoCodecService>();
    std::shared_ptr<FakeDisplayService> displays = std::make_shared<FakeDisplayService>();
    std::shared_ptr<PhantomScreenInf> inf;
    std::shared_ptr<PhantomScreenService> virtualDisplays;
    std::shared_ptr<DisplayArrangement> arrangement;
};

}  // namespace vl::testing
