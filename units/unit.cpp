#include "units/unit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "utils/slog.h"

// ---------------------------------------------------------------------------------------------
// UnitBase

UnitBase::UnitBase(std::string name) : debugLevel(2), unitName(std::move(name)), enableFlag(false) {}

UnitBase::~UnitBase() = default;

void UnitBase::enable() {
    enableFlag.store(true);
}

void UnitBase::disable() {
    enableFlag.store(false);
}

bool UnitBase::isEnable() {
    return enableFlag.load();
}

std::string UnitBase::getUnitName() {
    return unitName;
}

void UnitBase::setNotifyCallback(std::function<void(int, bool)> callback) {
    notifyCallback = std::move(callback);
}

void UnitBase::notify(bool) {}

void UnitBase::debug() {}

void UnitBase::dump() {}

int UnitBase::recycleBuffer(std::shared_ptr<QelBuffer>) {
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Linking

namespace {
template <class List>
int findIn(const List& units, const UnitBase* unit) {
    auto it = std::find(units.begin(), units.end(), unit);
    return it == units.end() ? -1 : static_cast<int>(it - units.begin());
}

// The checks a new link must pass, in this order; each side checks itself against the other.
enum class LinkFault { kNone, kFull, kDataType, kIoType };

LinkFault checkLink(size_t linked, unsigned int maxUnits, UnitDataType mine, UnitDataType theirs,
                    UnitIoType myIo, UnitIoType theirIo) {
    if (maxUnits <= linked) return LinkFault::kFull;
    if ((mine & theirs) == 0) return LinkFault::kDataType;
    if (myIo == theirIo) return LinkFault::kIoType;
    return LinkFault::kNone;
}

template <class List>
void removeFirst(List& units, const UnitBase* unit) {
    auto it = std::find(units.begin(), units.end(), unit);
    if (it != units.end()) units.erase(it);
}
}  // namespace

UnitInput::UnitInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : ioType(UNIT_IO_ENDPOINT), dataType(dataType), maxUnits(maxUnits), owner(owner) {}

UnitInput::~UnitInput() = default;

void UnitInput::addInputUnit(UnitBase* prev, bool linkBack) {
    if (prev == nullptr || prev->output == nullptr) {
        SLOGE("link to a unit without output !\n");
        abort();
    }
    UnitOutput* other = prev->output;
    switch (checkLink(units.size(), maxUnits, dataType, other->dataType, ioType, other->ioType)) {
        case LinkFault::kNone:
            break;
        case LinkFault::kFull:
            SLOGE("reach max input size! %lu >= max:%u\n", static_cast<unsigned long>(units.size()),
                  maxUnits);
            abort();
        case LinkFault::kDataType:
            SLOGE("do not match data type! this:%x next:%x\n", unsigned(dataType), unsigned(other->dataType));
            abort();
        case LinkFault::kIoType:
            SLOGE("do not match io type! this:0x%x == next:0x%x\n", unsigned(ioType),
                  unsigned(other->ioType));
            abort();
    }
    units.push_back(prev);
    if (linkBack) other->addOutputUnit(owner, false);
}

void UnitInput::rmInputUnit(UnitBase* prev, bool linkBack) {
    removeFirst(units, prev);
    if (linkBack && prev != nullptr && prev->output != nullptr) prev->output->rmOutputUnit(owner, false);
}

int UnitInput::findInputUnits(const UnitBase* unit) const {
    return findIn(units, unit);
}

UnitOutput::UnitOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : ioType(UNIT_IO_ENDPOINT), dataType(dataType), maxUnits(maxUnits), owner(owner) {}

UnitOutput::~UnitOutput() = default;

void UnitOutput::addOutputUnit(UnitBase* next, bool linkBack) {
    if (next == nullptr || next->input == nullptr) {
        SLOGE("link to a unit without input !\n");
        abort();
    }
    UnitInput* other = next->input;
    switch (checkLink(units.size(), maxUnits, dataType, other->dataType, ioType, other->ioType)) {
        case LinkFault::kNone:
            break;
        case LinkFault::kFull:
            SLOGE("reach max output size! %lu >= max:%u\n", static_cast<unsigned long>(units.size()),
                  maxUnits);
            abort();
        case LinkFault::kDataType:
            SLOGE("do not match data type! this:0x%x next:0x%x\n", unsigned(dataType),
                  unsigned(other->dataType));
            abort();
        case LinkFault::kIoType:
            SLOGE("do not match io type! this:0x%x == next:0x%x\n", unsigned(ioType),
                  unsigned(other->ioType));
            abort();
    }
    units.push_back(next);
    if (linkBack) other->addInputUnit(owner, false);
}

void UnitOutput::rmOutputUnit(UnitBase* next, bool linkBack) {
    removeFirst(units, next);
    if (linkBack && next != nullptr && next->input != nullptr) next->input->rmInputUnit(owner, false);
}

int UnitOutput::findOutputUnits(const UnitBase* unit) const {
    return findIn(units, unit);
}

// ---------------------------------------------------------------------------------------------
// Input and output kinds

EndpointInput::EndpointInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitInput(dataType, maxUnits, owner) {
    ioType = UNIT_IO_ENDPOINT;
}

EndpointInput::~EndpointInput() = default;

EndpointOutput::EndpointOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitOutput(dataType, maxUnits, owner) {
    ioType = UNIT_IO_ENDPOINT;
}

EndpointOutput::~EndpointOutput() = default;

SlaveOutput::SlaveOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitOutput(dataType, maxUnits, owner) {
    ioType = UNIT_IO_SLAVE;
}

SlaveOutput::~SlaveOutput() = default;

// A master input pulls from slave outputs, so it carries the master tag: linking it to another
// master (an output that pushes) fails the io check.
MasterInput::MasterInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitInput(dataType, maxUnits, owner) {
    ioType = UNIT_IO_MASTER;
}

MasterInput::~MasterInput() = default;

// ---------------------------------------------------------------------------------------------
// Push: MasterOutput -> SlaveInput

MasterOutput::MasterOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitOutput(dataType, maxUnits, owner) {
    ioType = UNIT_IO_MASTER;
}

MasterOutput::~MasterOutput() = default;

namespace {
SlaveInput* slaveInputOf(UnitBase* next) {
    if (next == nullptr || next->input == nullptr || next->input->ioType != UNIT_IO_SLAVE) {
        SLOGE("transmitTo wrong type !\n");
        abort();
    }
    return static_cast<SlaveInput*>(next->input);
}
}  // namespace

unsigned long MasterOutput::transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length, int index,
                                       int param) {
    return _transmitTo(std::move(buffer), length, index, param, false);
}

unsigned long MasterOutput::transmitTo_async(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                             int index, int param) {
    return _transmitTo(std::move(buffer), length, index, param, true);
}

unsigned long MasterOutput::transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                       UnitDataType type, int param) {
    return _transmitTo(std::move(buffer), length, type, param, false);
}

unsigned long MasterOutput::transmitTo_async(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                             UnitDataType type, int param) {
    return _transmitTo(std::move(buffer), length, type, param, true);
}

unsigned long MasterOutput::sendTo(UnitBase* next, const std::shared_ptr<QelBuffer>& buffer,
                                   unsigned long length, int param, bool async, bool* called) {
    SlaveInput* nextIn = slaveInputOf(next);
    int pos = nextIn->findInputUnits(owner);
    if (!next->enableFlag.load()) return 0;
    *called = true;
    // Each receiver gets its own reference, so it may keep the buffer beyond the call.
    return async ? nextIn->onTransmitIn_async(buffer, length, pos, param)
                 : nextIn->onTransmitIn(buffer, length, pos, param);
}

unsigned long MasterOutput::_transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length, int index,
                                        int param, bool async) {
    if (!buffer) {
        SLOGW("transmitTo buffer is null, skip.\n");
        return 0;
    }
    bool called = false;
    if (index >= 0) {
        if (static_cast<size_t>(index) >= units.size()) {
            SLOGE("transmitTo unknown index %d\n", index);
            return 0;
        }
        return sendTo(units[index], buffer, length, param, async, &called);
    }
    if (index != -1) {
        SLOGE("transmitTo unknown index %d\n", index);
        return 0;
    }
    unsigned long result = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        called = false;
        unsigned long r = sendTo(units[i], buffer, length, param, async, &called);
        if (called) result = r;
    }
    return result;
}

unsigned long MasterOutput::_transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                        UnitDataType type, int param, bool async) {
    if (!buffer) {
        SLOGW("transmitTo buffer is null, skip.\n");
        return 0;
    }
    unsigned long result = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        SlaveInput* nextIn = slaveInputOf(units[i]);
        if ((type & nextIn->dataType) == 0) continue;
        bool called = false;
        unsigned long r = sendTo(units[i], buffer, length, param, async, &called);
        if (called) result = r;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Notification walk

bool MasterOutput::onNotifyFromNext(bool flag) {
    // Only a slave input has sources that push to it; any other input ends the walk here.
    auto* in = owner != nullptr ? dynamic_cast<SlaveInput*>(owner->input) : nullptr;
    return in != nullptr && in->notifyLastUnits(flag);
}

bool SlaveInput::notifyLastUnits(bool flag) {
    bool result = false;
    for (size_t i = 0; i < units.size(); ++i) {
        UnitBase* up = units[i];
        if (up == nullptr || up->output == nullptr || up->output->ioType != UNIT_IO_MASTER) {
            SLOGE("notifyLastUnits wrong type !\n");
            abort();
        }
        result = static_cast<MasterOutput*>(up->output)->onNotifyFromNext(flag) || result;
        up->notify(flag);
    }
    return result;
}

bool SlaveInput::notifyLastUnit(bool flag, int index) {
    if (index < 0 || static_cast<size_t>(index) >= units.size()) return false;
    UnitBase* up = units[index];
    if (up == nullptr || up->output == nullptr || up->output->ioType != UNIT_IO_MASTER) return false;
    bool result = static_cast<MasterOutput*>(up->output)->onNotifyFromNext(flag);
    up->notify(flag);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Queued transmit

SlaveInput::SlaveInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner)
    : UnitInput(dataType, maxUnits, owner), stopFlag(false) {
    ioType = UNIT_IO_SLAVE;
}

SlaveInput::~SlaveInput() {
    stopAsyncTransmit();
}

unsigned long SlaveInput::onTransmitIn_async(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                             int inputIndex, int param) {
    std::unique_lock<std::mutex> lock(taskMutex);
    if (stopFlag.load()) return 0;
    // Started under the lock, so two producers racing on the first transmit make one worker.
    if (!asyncThread) asyncThread.reset(new std::thread(&SlaveInput::fAsyncTransmit, this));

    // The limit check and the push happen under one lock, so concurrent producers cannot push
    // the queue past ASYNC_QUEUE_LIMIT + 1 either.
    while (taskQueue.size() > ASYNC_QUEUE_LIMIT) {
        lock.unlock();
        SLOGW("async transmit task queue is full ! (%s)\n", owner->getUnitName().c_str());
        usleep(1000);
        lock.lock();
        if (stopFlag.load()) return 0;
    }
    taskQueue.push_back(AsyncTransmitTask{std::move(buffer), length, inputIndex, param});
    unsigned long queued = taskQueue.size();
    lock.unlock();
    taskCond.notify_one();
    return queued;
}

void SlaveInput::fAsyncTransmit() {
    std::unique_lock<std::mutex> lock(taskMutex);
    for (;;) {
        taskCond.wait(lock, [this] { return stopFlag.load() || !taskQueue.empty(); });
        if (stopFlag.load()) return;
        // The task stays at the front, and counts against the limit, until it has been handled.
        // onTransmitIn runs without the lock so producers are only held back by the limit.
        AsyncTransmitTask task = taskQueue.front();
        lock.unlock();
        onTransmitIn(task.buffer, task.length, task.inputIndex, task.param);
        lock.lock();
        taskQueue.pop_front();
        lock.unlock();
        // Dropping the last reference may run a recycle callback: not under taskMutex.
        task.buffer.reset();
        lock.lock();
    }
}

void SlaveInput::stopAsyncTransmit() {
    std::unique_ptr<std::thread> worker;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        stopFlag.store(true);
        worker = std::move(asyncThread);
    }
    taskCond.notify_all();
    if (worker) {
        if (worker->get_id() == std::this_thread::get_id()) {
            SLOGE("async transmit stopped from its own worker (%s)\n", owner->unitName.c_str());
            abort();
        }
        worker->join();
    }
    // The worker has left; the tasks still queued are dropped unhandled. Their buffers are
    // released outside the lock, since a release may run a recycle callback.
    std::deque<AsyncTransmitTask> dropped;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        dropped.swap(taskQueue);
    }
}

// ---------------------------------------------------------------------------------------------
// Pull: MasterInput <- SlaveOutput

std::shared_ptr<QelBuffer> MasterInput::pullFrom(UnitBase* up, unsigned long* length) {
    auto* upOut = up->output != nullptr && up->output->ioType == UNIT_IO_SLAVE
                      ? dynamic_cast<SlaveOutput*>(up->output)
                      : nullptr;
    if (upOut == nullptr) {
        SLOGE("transmitFrom wrong type !\n");
        abort();
    }
    int pos = upOut->findOutputUnits(owner);
    if (!up->enableFlag.load()) {
        if (length != nullptr) *length = 0;
        return std::shared_ptr<QelBuffer>();
    }
    return upOut->onTransmitOut(length, pos);
}

std::shared_ptr<QelBuffer> MasterInput::transmitFrom(unsigned long* length, int index) {
    if (index < 0 || static_cast<size_t>(index) >= units.size()) {
        SLOGE("index %d out of bound %lu\n", index, static_cast<unsigned long>(units.size()));
        abort();
    }
    if (units[index] == nullptr) {
        SLOGE("transmitFrom wrong type !\n");
        abort();
    }
    return pullFrom(units[index], length);
}

std::shared_ptr<QelBuffer> MasterInput::transmitFrom(unsigned long* length, UnitDataType type) {
    for (size_t i = 0; i < units.size(); ++i) {
        UnitBase* up = units[i];
        if (up == nullptr || up->output == nullptr || up->output->ioType != UNIT_IO_SLAVE) {
            SLOGE("transmitFrom wrong type !\n");
            abort();
        }
        if ((type & up->output->dataType) != 0) return pullFrom(up, length);
    }
    if (length != nullptr) *length = 0;
    return std::shared_ptr<QelBuffer>();
}
