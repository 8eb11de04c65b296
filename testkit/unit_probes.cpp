#include "testkit/unit_probes.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

ProbeSourceEM::ProbeSourceEM(std::string name, UnitDataType outType, unsigned int outMax, ProbeLog* log)
    : Unit<EndpointInput, MasterOutput>(std::move(name), UNIT_DATA_ANY, 0, outType, outMax), mLog(log) {}

void ProbeSourceEM::notify(bool) {
    if (mLog == nullptr) return;
    std::lock_guard<std::mutex> lock(mLog->mutex);
    mLog->notified.push_back(unitName);
}

template <class Out>
ProbeReceiver<Out>::ProbeReceiver(std::string name, UnitDataType inType, unsigned int inMax,
                                  UnitDataType outType, unsigned int outMax, unsigned long result,
                                  ProbeLog* log)
    : Unit<SlaveInput, Out>(std::move(name), inType, inMax, outType, outMax), mResult(result), mLog(log) {}

template <class Out>
ProbeReceiver<Out>::~ProbeReceiver() {
    openGate();
    this->stopAsyncTransmit();
}

template <class Out>
unsigned long ProbeReceiver<Out>::onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                               int inputIndex, int param) {
    int inFlight = ++mInFlight;
    int seenMax = mMaxInFlight.load();
    while (inFlight > seenMax && !mMaxInFlight.compare_exchange_weak(seenMax, inFlight)) {
    }
    if (mLog != nullptr) {
        std::lock_guard<std::mutex> logLock(mLog->mutex);
        mLog->received.push_back(this->unitName);
    }
    std::unique_lock<std::mutex> lock(mMutex);
    mCalls.push_back(ProbeCall{std::move(buffer), length, inputIndex, param, std::this_thread::get_id()});
    mCond.notify_all();
    if (mGateClosed) {
        mBlocked = true;
        mCond.notify_all();
        mCond.wait(lock, [this] { return !mGateClosed || mPasses > 0; });
        if (mGateClosed) --mPasses;
        mBlocked = false;
    }
    --mInFlight;
    return mResult;
}

template <class Out>
void ProbeReceiver<Out>::notify(bool) {
    if (mLog == nullptr) return;
    std::lock_guard<std::mutex> lock(mLog->mutex);
    mLog->notified.push_back(this->unitName);
}

template <class Out>
std::vector<ProbeCall> ProbeReceiver<Out>::calls() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCalls;
}

template <class Out>
bool ProbeReceiver<Out>::waitForCalls(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mCalls.size() >= count; });
}

template <class Out>
bool ProbeReceiver<Out>::waitUntilBlocked(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mBlocked; });
}

template <class Out>
void ProbeReceiver<Out>::closeGate() {
    std::lock_guard<std::mutex> lock(mMutex);
    mGateClosed = true;
}

template <class Out>
void ProbeReceiver<Out>::passOne() {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mPasses;
    mCond.notify_all();
}

template <class Out>
void ProbeReceiver<Out>::openGate() {
    std::lock_guard<std::mutex> lock(mMutex);
    mGateClosed = false;
    mCond.notify_all();
}

template class ProbeReceiver<MasterOutput>;
template class ProbeReceiver<EndpointOutput>;

std::shared_ptr<QelBuffer> makeCountedBuffer(unsigned long size, unsigned char fill,
                                             std::atomic<int>* released) {
    auto buffer = QelBuffer::createMallocBuffer(size, [released](QelBuffer* dying) {
        free(dying->vaddr);
        released->fetch_add(1);
    });
    if (buffer) memset(buffer->getVaddr(), fill, size);
    return buffer;
}
