#ifndef QUORVANE_TESTKIT_UNIT_PROBES_H
#define QUORVANE_TESTKIT_UNIT_PROBES_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "units/unit.h"

// Small units for exercising the unit framework and units built on it.

// One onTransmitIn call as a probe saw it.
struct ProbeCall {
    std::shared_ptr<QelBuffer> buffer;
    unsigned long length;
    int inputIndex;
    int param;
    std::thread::id thread;
};

// Order in which probes of one test were reached, by unit name.
struct ProbeLog {
    std::mutex mutex;
    std::vector<std::string> notified;  // notify()
    std::vector<std::string> received;  // onTransmitIn()
};

// A source: endpoint input, master output.
class ProbeSourceEM : public Unit<EndpointInput, MasterOutput> {
public:
    ProbeSourceEM(std::string name, UnitDataType outType, unsigned int outMax, ProbeLog* log = nullptr);
    void notify(bool flag) override;

private:
    ProbeLog* mLog;
};

// A receiver that records every call, keeps the buffers and returns a fixed result. With the
// gate closed, each call waits in onTransmitIn until the test lets one call (or all) through.
template <class Out>
class ProbeReceiver : public Unit<SlaveInput, Out> {
public:
    ProbeReceiver(std::string name, UnitDataType inType, unsigned int inMax, UnitDataType outType,
                  unsigned int outMax, unsigned long result, ProbeLog* log = nullptr);
    // Stops the worker before the recorded state goes away.
    ~ProbeReceiver() override;

    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int inputIndex,
                               int param) override;
    void notify(bool flag) override;

    std::vector<ProbeCall> calls();
    // Waits up to `timeoutMs` until at least `count` calls were recorded.
    bool waitForCalls(size_t count, int timeoutMs);
    // Waits up to `timeoutMs` until a call is blocked at the closed gate.
    bool waitUntilBlocked(int timeoutMs);
    // The most calls that were inside onTransmitIn at the same time.
    int maxConcurrentCalls() const { return mMaxInFlight.load(); }
    void closeGate();
    void passOne();
    void openGate();

private:
    std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<ProbeCall> mCalls;
    bool mGateClosed = false;
    unsigned long mPasses = 0;
    bool mBlocked = false;
    unsigned long mResult;
    ProbeLog* mLog;
    std::atomic<int> mInFlight{0};
    std::atomic<int> mMaxInFlight{0};
};

using ProbeUnitSM = ProbeReceiver<MasterOutput>;
using ProbeSinkSE = ProbeReceiver<EndpointOutput>;

extern template class ProbeReceiver<MasterOutput>;
extern template class ProbeReceiver<EndpointOutput>;

// A heap buffer of `size` bytes filled with `fill`, whose destruction is counted in `*released`
// through its recycle callback (which then frees the block itself).
std::shared_ptr<QelBuffer> makeCountedBuffer(unsigned long size, unsigned char fill,
                                             std::atomic<int>* released);

#endif
