#include "background_run.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "quarn/pool.hpp"
#include "run_threads.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quarn::engine {

namespace {

using Clock = std::chrono::steady_clock;

// How often the waiting thread looks at signals; Ctrl-C is answered within
// this interval plus the few positions a sweep needs to see a stop request.
constexpr auto poll_interval = std::chrono::milliseconds(20);
// Least time between two progress calls.
constexpr auto progress_interval = std::chrono::milliseconds(100);
// Longest wait at interpreter exit for stopped detections to end.
constexpr auto exit_wait = std::chrono::seconds(10);

// The detections running in the process and the threads waiting on them,
// so that the interpreter's exit can stop them. Never destroyed: threads may
// still reach it while the process ends.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RunControl*> running;  // runs whose worker thread is alive
    std::size_t waiting = 0;           // threads inside run_in_background
    std::size_t parked = 0;            // of those, the ones parked for good
    bool shutting_down = false;        // the exit hook has run
    std::thread::id exiting_thread;    // the thread that ran it
};

Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

// One detection on a run thread (see run_threads.hpp). Its run is
// registered for as long as it runs.
class WorkerThread {
  public:
    WorkerThread(RunControl& control, const std::function<bool()>& work)
        : control_(control), unregister_([this] { unregister(); }), job_(work, unregister_) {
        Registry& runs = registry();
        {
            std::lock_guard lock(runs.mutex);
            runs.running.push_back(&control_);
        }
        try {
            start_run(job_);
        } catch (...) {
            unregister();
            throw;
        }
    }

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Only reached with the work still running when something on the
    // waiting side threw: stop the work before its data go away.
    ~WorkerThread() {
        if (!joined_) {
            control_.request_stop();
            job_.wait();
        }
    }

    // True once the work has ended.
    bool wait_for(std::chrono::milliseconds timeout) { return job_.wait_for(timeout); }

    // Waits for the work to end.
    void join() {
        job_.wait();
        joined_ = true;
    }

    bool succeeded() const { return job_.succeeded(); }
    std::exception_ptr failure() const { return job_.failure(); }

  private:
    void unregister() {
        Registry& runs = registry();
        std::lock_guard lock(runs.mutex);
        std::erase(runs.running, &control_);
        runs.changed.notify_all();
    }

    RunControl& control_;
    const std::function<void()> unregister_;
    RunJob job_;
    bool joined_ = false;
};

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Counts the calling thread among those waiting on a detection while it is.
class WaitingThread {
  public:
    WaitingThread() {
        std::lock_guard lock(registry().mutex);
        ++registry().waiting;
    }
    WaitingThread(const WaitingThread&) = delete;
    WaitingThread& operator=(const WaitingThread&) = delete;
    ~WaitingThread() {
        Registry& runs = registry();
        std::lock_guard lock(runs.mutex);
        --runs.waiting;
        runs.changed.notify_all();
    }
};

// Once the interpreter exits, a thread other than the exiting one (a daemon
// thread) must not come back into Python: the interpreter would end it from
// inside these C++ frames. It parks instead, until the process ends.
bool must_park() {
    Registry& runs = registry();
    std::lock_guard lock(runs.mutex);
    if (std::this_thread::get_id() == runs.exiting_thread) return false;
    return runs.shutting_down || interpreter_finalizing();
}

// Parks the calling thread, which holds no interpreter lock, for good.
[[noreturn]] void park() {
    {
        Registry& runs = registry();
        std::lock_guard lock(runs.mutex);
        ++runs.parked;
        runs.changed.notify_all();
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Calls progress(done, total); false with the callback's exception set.
bool call_progress(const nb::object& progress, std::uint64_t done, std::uint64_t total) {
    PyObject* outcome =
        PyObject_CallFunction(progress.ptr(), "KK", static_cast<unsigned long long>(done),
                              static_cast<unsigned long long>(total));
    if (outcome == nullptr) return false;
    Py_DECREF(outcome);
    return true;
}

// The exit hook: stops every running detection and waits until every
// thread waiting on one has parked or returned, so that no detection is
// left computing, and no daemon thread is inside the engine, while the
// interpreter goes down. The exiting thread itself may still detect.
void stop_running_detections() {
    Registry& runs = registry();
    {
        std::lock_guard lock(runs.mutex);
        runs.shutting_down = true;
        runs.exiting_thread = std::this_thread::get_id();
        for (RunControl* control : runs.running) control->request_stop();
    }
    nb::gil_scoped_release unlocked;
    std::unique_lock lock(runs.mutex);
    runs.changed.wait_for(lock, exit_wait,
                          [&] { return runs.running.empty() && runs.waiting == runs.parked; });
    lock.unlock();
    // No thread is kept waiting for work while the interpreter goes down.
    retire_idle_run_threads(true);
}

#if !defined(_WIN32)
// Nobody may hold the registry while the process forks; the child has none
// of the parent's detection threads, so its registry starts empty.
void lock_registry_before_fork() {
    registry().mutex.lock();
}
void unlock_registry_in_parent() {
    registry().mutex.unlock();
}
void reset_registry_in_child() {
    Registry& runs = registry();
    runs.running.clear();
    runs.waiting = 0;
    runs.parked = 0;
    runs.mutex.unlock();
}
#endif

}  // namespace

namespace {

// Hands the memory that a stopped run freed back to the system. The C
// library keeps freed blocks of its worker threads' arenas for reuse, which
// after an interrupted run on a long series would leave tens of megabytes
// resident for nothing.
void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace

void run_in_background(RunControl& control, const std::function<bool()>& work,
                       const nb::object& progress, std::uint64_t total) {
    WaitingThread waiting;
    if (must_park()) {
        PyEval_SaveThread();
        park();
    }
    WorkerThread worker(control, work);
    const bool reports = !progress.is_none();
    auto next_report = Clock::now() + progress_interval;
    std::uint64_t reported = 0;

    PyThreadState* state = PyEval_SaveThread();
    for (;;) {
        const bool finished = worker.wait_for(poll_interval);
        if (must_park()) {
            control.request_stop();
            worker.join();
            park();
        }
        if (finished) break;
        PyEval_RestoreThread(state);
        bool raised = PyErr_CheckSignals() != 0;
        if (!raised && reports && Clock::now() >= next_report) {
            const std::uint64_t done = std::min(control.progress(), total);
            if (done != reported) {
                raised = !call_progress(progress, done, total);
                reported = done;
            }
            next_report = Clock::now() + progress_interval;
        }
        if (raised) {
            // Stop the workers (within a few positions) and wait for them
            // before the exception goes on.
            control.request_stop();
            state = PyEval_SaveThread();
            worker.join();
            release_free_memory();
            PyEval_RestoreThread(state);
            throw nb::python_error();
        }
        state = PyEval_SaveThread();
    }
    worker.join();
    PyEval_RestoreThread(state);
    if (worker.failure()) std::rethrow_exception(worker.failure());
    if (reports && worker.succeeded() && !call_progress(progress, total, total)) {
        throw nb::python_error();
    }
}

void install_shutdown_hooks(nb::module_& module) {
    module.def("_stop_running_detections", &stop_running_detections,
               "Stops every running detection and waits for it to end (an exit hook).");
    nb::module_::import_("atexit").attr("register")(module.attr("_stop_running_detections"));
    quarn::guard_pool_across_fork();
    guard_run_threads_across_fork();
#if !defined(_WIN32)
    static const int registered = pthread_atfork(
        lock_registry_before_fork, unlock_registry_in_parent, reset_registry_in_child);
    static_cast<void>(registered);
#endif
}

}  // namespace quarn::engine
