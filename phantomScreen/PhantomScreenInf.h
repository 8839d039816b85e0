// phantomScreen: the server's side of virtual displays — loads the virtual display library by
// path, creates displays at a supported resolution, gives them their exact mode, places them to
// the right of the others, finds them again and removes them.
#pragma once

#include "base/DispatchQueue.h"
#include "phantomScreen/Resolution.h"
#include "platform/display/Interface.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Create with std::make_shared: the mode and placement that addDisplayEx posts to the main queue
// hold it weakly. The display service must outlive it. Thread safe: addDisplayEx is reached from
// the control connection's queue as well as the main queue.
class PhantomScreenInf : public std::enable_shared_from_this<PhantomScreenInf> {
  public:
    using Resolution = vl::Resolution;

    // <folder of the executable>/../lib/vantrel-link/libPhantomScreen.so.
    static std::string libraryPath();

    // Looks an export of the loaded library up by name; null when it has none.
    using SymbolLookup = std::function<void*(const char* name)>;
    // Runs each time the library is loaded, before its initLib.
    using Preparation = std::function<void(const SymbolLookup&)>;

    // A new display's size and place are set 0.2 s after it is made, on `queue` (the desktop's).
    PhantomScreenInf(DisplayService& displays, DispatchQueue& queue,
                     std::string path = libraryPath(), Preparation prepare = {});
    ~PhantomScreenInf();
    PhantomScreenInf(const PhantomScreenInf&) = delete;
    PhantomScreenInf& operator=(const PhantomScreenInf&) = delete;

    void initLib();
    bool isLoaded() const;
    std::optional<DisplayID> addDisplayEx(Resolution resolution, bool portrait);
    std::optional<DisplayID> addDisplay(Resolution resolution, bool portrait);
    void setResolution(DisplayID display, int width, int height);
    void placeToRightOfExisting(DisplayID display);
    // Beside the rightmost of `others` that is still active.
    void placeToRightOf(DisplayID display, const std::vector<DisplayID>& others);
    bool removeDisplay(DisplayID displayID);
    std::optional<DisplayID> findPS();
    void release();

  private:
    template <typename Function>
    Function bind(const char* name) const;
    DisplayService* displays() const;
    std::optional<std::vector<DisplayID>> activeDisplays() const;
    // One unit right of the rightmost of `neighbours`, at the top of the global space.
    void placeBeside(DisplayID display, const std::vector<DisplayID>& neighbours);

    mutable std::mutex mutex_;
    DisplayService* displays_;
    DispatchQueue* queue_;
    std::string path_;
    Preparation prepare_;
    void* libHandle_ = nullptr;
    std::map<DisplayID, std::int32_t> addedDisplays_;
};

}  // namespace vl
