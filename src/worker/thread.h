// The worker thread class. A worker's completion handler runs on the window thread, handed over
// through WindowThreadQueue; the worker thread waits until the handler has returned.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace quiver {

class TThread {
  public:
    using TerminateHandler = std::function<void(TThread* sender)>;

    // The thread exists from construction; a suspended one runs once Start() is called.
    explicit TThread(bool createSuspended);
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();

    // The one place an owner lets go of its worker. A worker whose completion has returned, or
    // that has none to hand over, is joined now (one never started is started and joined, as
    // the destructor does). A running one whose completion is still to run on the window thread
    // destroys itself when it has ended: joining it there could wait for the very thread that
    // lets go.
    static void Dispose(std::unique_ptr<TThread> worker);

    // Destroy the object when the thread ends (after the termination handler has run).
    bool FreeOnTerminate = false;
    // Runs on the window thread after Execute has returned.
    TerminateHandler OnTerminate;

    bool Finished() const;

  protected:
    virtual void Execute() = 0;
    // Hands OnTerminate to the window thread and waits for it.
    virtual void DoTerminate();

  private:
    void Body();

    std::thread thread_;
    struct Gate;
    std::unique_ptr<Gate> gate_;
};

}  // namespace quiver
