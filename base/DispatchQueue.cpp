#include "base/DispatchQueue.h"

#include "base/DispatchQueueImpl.h"
#include "base/Logger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vl {

namespace {

thread_local const DispatchQueue::Impl* currentQueue = nullptr;

// The threads behind the global queue and every serial queue. Blocks may wait on each other
// (sync, network completions), so the pool is never smaller than four threads. Never destroyed:
// at exit its threads may be running blocks that wait on queues, so joining them could hang.
class Pool {
  public:
    Pool() : guard_(asio::make_work_guard(context_)) {
        unsigned count = std::max(4u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { context_.run(); });
    }
    ~Pool() = delete;
    asio::io_context& context() { return context_; }

  private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

Pool& pool() {
    static auto* instance = new Pool;
    return *instance;
}

// One unit of work queued on the main queue; any callable, including move-only handlers.
class MainTask {
  public:
    virtual ~MainTask() = default;
    virtual void run() = 0;
};

template <class F>
class MainTaskOf final : public MainTask {
  public:
    explicit MainTaskOf(F f) : f_(std::move(f)) {}
    void run() override { std::move(f_)(); }

  private:
    F f_;
};

// The main queue's blocks wait in one list that the main thread runs: from runMain() through the
// io_context, or from another event loop (a GUI toolkit's) that drives the queue. Timers bound to
// the main queue wait in the io_context's reactor either way; their completions come back
// through the list, so they run on the main thread too.
struct MainLoop {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{
        asio::make_work_guard(context)};

    std::mutex mutex;
    std::deque<std::unique_ptr<MainTask>> tasks;
    std::function<void()> wake;  // set while another loop drives the queue
    std::function<void()> stop;
    bool wakePending = false;
    std::optional<std::thread> reactor;

    void push(std::unique_ptr<MainTask> task) {
        std::function<void()> wakeNow;
        {
            std::lock_guard lock(mutex);
            tasks.push_back(std::move(task));
            if (wake && !wakePending) {
                wakePending = true;
                wakeNow = wake;
            }
            if (!wake) {
                asio::post(context, [this] { runOne(); });
                return;
            }
        }
        if (wakeNow) wakeNow();
    }

    // One block per post, as a plain io_context would, so stopMain() stops between blocks.
    void runOne() {
        std::unique_ptr<MainTask> task;
        {
            std::lock_guard lock(mutex);
            if (wake || tasks.empty()) return;  // the driving loop runs them now
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task->run();
    }

    void runWaiting() {
        std::deque<std::unique_ptr<MainTask>> batch;
        {
            std::lock_guard lock(mutex);
            wakePending = false;
            batch.swap(tasks);
        }
        for (auto& task : batch) task->run();
    }
};

// Never destroyed, like the pool: blocks still post to it while the process exits.
MainLoop& mainLoop() {
    static auto* instance = new MainLoop;
    return *instance;
}

// The executor of the main queue (see MainLoop). Asio objects bound to it take their services
// from the main io_context.
class MainExecutor {
  public:
    asio::execution_context& query(asio::execution::context_t) const noexcept {
        return mainLoop().context;
    }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    template <class F>
    void execute(F&& f) const {
        using Task = MainTaskOf<std::decay_t<F>>;
        mainLoop().push(std::make_unique<Task>(std::forward<F>(f)));
    }
    friend bool operator==(const MainExecutor&, const MainExecutor&) noexcept { return true; }
};

}  // namespace

DispatchQueue::Impl::~Impl() {
    if (!ownThread) return;
    // Nothing of this queue is left to run: let the thread's run() return once idle.
    ownThread->guard.reset();
    if (ownThread->thread.get_id() == std::this_thread::get_id())
        ownThread->thread.detach();
    else
        ownThread->thread.join();
}

void DispatchQueue::Impl::run(const Block& block) const {
    const Impl* previous = currentQueue;
    currentQueue = this;
    block();
    currentQueue = previous;
}

Block DispatchQueue::Impl::wrap(Block block) const {
    return [self = shared_from_this(), block = std::move(block)] { self->run(block); };
}

DispatchQueue::DispatchQueue(std::string label) : DispatchQueue(std::move(label), Kind::serial) {}

DispatchQueue::DispatchQueue(std::string label, Kind kind) {
    switch (kind) {
        case Kind::serial:
            impl_ =
                std::make_shared<Impl>(std::move(label), kind, asio::make_strand(pool().context()));
            break;
        case Kind::concurrent:
            impl_ = std::make_shared<Impl>(std::move(label), kind, pool().context().get_executor());
            break;
        case Kind::main:
            impl_ = std::make_shared<Impl>(std::move(label), kind, MainExecutor{});
            break;
    }
}

DispatchQueue::DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::dedicated(std::string label) {
    auto owned = std::make_shared<DedicatedThread>();
    auto executor = owned->context.get_executor();
    owned->thread = std::thread([owned] { owned->context.run(); });
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(
        std::make_shared<Impl>(std::move(label), Kind::serial, executor, std::move(owned))));
}

std::shared_ptr<DispatchQueue> DispatchQueue::retain() const {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(impl_));
}

// The global and main queues are never destroyed either: pool threads use them during exit.
DispatchQueue& DispatchQueue::global() {
    static auto* queue = new DispatchQueue("com.apple.root.default-qos", Kind::concurrent);
    return *queue;
}

DispatchQueue& DispatchQueue::main() {
    static auto* queue = new DispatchQueue("com.apple.main-thread", Kind::main);
    return *queue;
}

void DispatchQueue::runMain() {
    auto& loop = mainLoop();
    loop.context.restart();
    loop.context.run();
}

void DispatchQueue::stopMain() {
    auto& loop = mainLoop();
    std::function<void()> stop;
    {
        std::lock_guard lock(loop.mutex);
        stop = loop.stop;
    }
    if (stop)
        stop();
    else
        loop.context.stop();
}

void DispatchQueue::driveMainFrom(std::function<void()> wake, std::function<void()> stop) {
    auto& loop = mainLoop();
    bool waiting = false;
    {
        std::lock_guard lock(loop.mutex);
        if (loop.wake) return;
        loop.wake = wake;
        loop.stop = std::move(stop);
        waiting = !loop.tasks.empty();
        loop.wakePending = waiting;
    }
    // The reactor still serves the main queue's timers; it runs no blocks of its own.
    loop.reactor.emplace([&loop] { loop.context.run(); });
    if (waiting) wake();
}

void DispatchQueue::runMainBlocks() {
    mainLoop().runWaiting();
}

const std::string& DispatchQueue::label() const {
    return impl_->label;
}

DispatchQueue::Kind DispatchQueue::kind() const {
    return impl_->kind;
}

void DispatchQueue::async(Block block) {
    // Held until the post has returned: the block may let go of the last handle on the queue's own
    // thread, which then ends and frees its context while the post still wakes it.
    const std::shared_ptr<Impl> impl = impl_;
    asio::post(impl->executor, impl->wrap(std::move(block)));
}

void DispatchQueue::asyncAfter(Clock::duration delay, Block block) {
    asyncAt(Clock::now() + delay, std::move(block));
}

void DispatchQueue::asyncAt(Clock::time_point deadline, Block block) {
    const std::shared_ptr<Impl> impl = impl_;  // as in async()
    auto timer = std::make_shared<asio::steady_timer>(impl->executor, deadline);
    timer->async_wait(
        [timer, block = impl->wrap(std::move(block))](const asio::error_code&) { block(); });
}

void DispatchQueue::sync(const Block& block) {
    if (isCurrent()) {
        block();
        return;
    }
    std::promise<void> done;
    async([&] {
        block();
        done.set_value();
    });
    done.get_future().wait();
}

bool DispatchQueue::isCurrent() const {
    return currentQueue == impl_.get();
}

void DispatchQueue::assertCurrent(SourceLocation where) const {
    if (isCurrent()) return;
    const std::string message = "not on queue " + impl_->label + " (on " +
                                (currentQueue ? currentQueue->label : std::string("no queue")) +
                                ")";
#ifdef NDEBUG
    if (!impl_->violationReported.exchange(true))
        Logger::shared().log(message, LogLevel::error, where);
#else
    std::fprintf(stderr, "%s:%d %s: %s\n", where.file_name(), where.line(), where.function_name(),
                 message.c_str());
    std::abort();
#endif
}

}  // namespace vl
