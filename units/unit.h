#ifndef QUORVANE_UNITS_UNIT_H
#define QUORVANE_UNITS_UNIT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "../platform/buffer.h"
#include "../quorvane_export.h"

// Kinds of data a unit side handles, as a bit set. Two sides match when their masks share a bit.
enum UnitDataType : uint32_t {
    UNIT_DATA_RTP_VIDEO = 0x1,
    UNIT_DATA_RTP_AUDIO = 0x2,
    UNIT_DATA_H26X = 0x4,
    UNIT_DATA_ANY = 0xFFFF,
};

constexpr UnitDataType operator|(UnitDataType a, UnitDataType b) {
    return static_cast<UnitDataType>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}

// What a side does with data. Linking requires different tags on the two sides.
enum UnitIoType : uint32_t {
    UNIT_IO_ENDPOINT = 0,
    UNIT_IO_MASTER = 1,
    UNIT_IO_SLAVE = 2,
};

// A producer is held back while a SlaveInput's queue holds more than this many tasks.
constexpr unsigned long ASYNC_QUEUE_LIMIT = 100;

class UnitInput;
class UnitOutput;

// The common part of every unit: name, enable flag and hooks.
class QUORVANE_EXPORT UnitBase {
public:
    explicit UnitBase(std::string name);
    virtual void enable();
    virtual void disable();
    virtual bool isEnable();
    virtual std::string getUnitName();
    virtual void setNotifyCallback(std::function<void(int, bool)> callback);
    virtual void notify(bool flag);
    virtual void debug();
    virtual void dump();
    virtual ~UnitBase();
    virtual int recycleBuffer(std::shared_ptr<QelBuffer> buffer);

    UnitBase(const UnitBase&) = delete;
    UnitBase& operator=(const UnitBase&) = delete;

    std::function<void(int, bool)> notifyCallback;
    uint32_t debugLevel;
    const std::string unitName;
    std::atomic<bool> enableFlag;
    UnitInput* input = nullptr;
    UnitOutput* output = nullptr;
    UnitBase* self = nullptr;
};

// The input side of a unit: the upstream units that may feed it. Link lists carry no lock; they
// are changed only while no data flows through the units concerned.
class QUORVANE_EXPORT UnitInput {
public:
    UnitInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    virtual ~UnitInput();

    // Both abort the process, after an error line, when the link fails the size, data-type or
    // io-kind check: such a link is a defect in the program's wiring.
    void addInputUnit(UnitBase* prev, bool linkBack);
    void rmInputUnit(UnitBase* prev, bool linkBack);
    // Position of the first entry equal to `unit`, or -1.
    int findInputUnits(const UnitBase* unit) const;

    std::vector<UnitBase*> units;
    UnitIoType ioType;
    UnitDataType dataType;
    unsigned int maxUnits;
    UnitBase* owner;
};

// The output side of a unit: the downstream units it feeds.
class QUORVANE_EXPORT UnitOutput {
public:
    UnitOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    virtual void rmOutputUnit(UnitBase* next, bool linkBack);
    virtual void addOutputUnit(UnitBase* next, bool linkBack);
    virtual ~UnitOutput();

    int findOutputUnits(const UnitBase* unit) const;

    std::vector<UnitBase*> units;
    UnitIoType ioType;
    UnitDataType dataType;
    unsigned int maxUnits;
    UnitBase* owner;
};

// One queued transmit.
struct QUORVANE_EXPORT AsyncTransmitTask {
    std::shared_ptr<QelBuffer> buffer;
    unsigned long length;
    int inputIndex;
    int param;
};

// An input that is pushed to by upstream MasterOutputs, either on the sender's thread
// (onTransmitIn) or through a queue drained by a worker thread of its own (onTransmitIn_async).
//
// The worker calls the concrete unit's onTransmitIn. A unit that may be fed through the queue
// must therefore call stopAsyncTransmit() first thing in its own destructor: by the time the
// destructors of Unit<> and of this class run, the unit's own members (and its onTransmitIn)
// are gone. Unit<> and this class stop the worker again as a fallback, which is only safe when no
// task is pending at that point.
class QUORVANE_EXPORT SlaveInput : public UnitInput {
public:
    SlaveInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~SlaveInput() override;

    // Calls notify() on every unit upstream of this input, depth first (a unit's own sources
    // before the unit) and returns the OR of the MasterOutput::onNotifyFromNext results.
    virtual bool notifyLastUnits(bool flag);
    // The same for the one upstream unit at `index`; false when there is none or it is no master.
    virtual bool notifyLastUnit(bool flag, int index);
    virtual unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                       int inputIndex, int param) = 0;
    // Queues one task and returns the queue length after the push (the task being handled
    // counts). Starts the worker on the first call. While more than ASYNC_QUEUE_LIMIT tasks wait,
    // the caller is held back in 1 ms steps with a warning each time; nothing is dropped. Returns
    // 0 and queues nothing once the input has been stopped.
    virtual unsigned long onTransmitIn_async(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                             int inputIndex, int param);

    // Stops and joins the worker, if one was started, and drops the queued tasks, which are never
    // handed to onTransmitIn. When it returns, the worker is no longer inside onTransmitIn and
    // will never call it again. Idempotent; must not be called from the worker itself.
    void stopAsyncTransmit();

protected:
    // Body of the worker thread: handles the queued tasks one at a time, in FIFO order.
    void fAsyncTransmit();

    std::mutex taskMutex;
    std::deque<AsyncTransmitTask> taskQueue;   // guarded by taskMutex
    std::unique_ptr<std::thread> asyncThread;  // guarded by taskMutex while being started
    std::atomic<bool> stopFlag;                // written under taskMutex, read by the worker
    std::condition_variable taskCond;          // signals a new task or the stop to the worker
};

// An output of slave kind: downstream MasterInputs pull buffers from it with transmitFrom.
// The library has no concrete one; a unit that offers data for pulling implements onTransmitOut.
class QUORVANE_EXPORT SlaveOutput : public UnitOutput {
public:
    SlaveOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~SlaveOutput() override;

    // Hands out the next buffer for the puller at `outputIndex` (its position in this output's
    // list, -1 if not listed) and stores its length through `length`; an empty pointer when
    // there is nothing.
    virtual std::shared_ptr<QelBuffer> onTransmitOut(unsigned long* length, int outputIndex) = 0;
};

// An input that pulls data from upstream outputs of slave kind.
class QUORVANE_EXPORT MasterInput : public UnitInput {
public:
    MasterInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~MasterInput() override;

    // Pulls from the upstream unit at `index`; an empty pointer when it is disabled or has
    // nothing. An index outside the list or an upstream output not of slave kind aborts.
    std::shared_ptr<QelBuffer> transmitFrom(unsigned long* length, int index);
    // Pulls from the first upstream unit whose output accepts `type`.
    std::shared_ptr<QelBuffer> transmitFrom(unsigned long* length, UnitDataType type);

private:
    std::shared_ptr<QelBuffer> pullFrom(UnitBase* up, unsigned long* length);
};

// The input side of a source unit: nothing feeds it.
class QUORVANE_EXPORT EndpointInput : public UnitInput {
public:
    EndpointInput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~EndpointInput() override;
};

// An output that pushes buffers to the SlaveInputs of the next units.
class QUORVANE_EXPORT MasterOutput : public UnitOutput {
public:
    MasterOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~MasterOutput() override;

    // Continues a notification walk upwards through the owning unit's input.
    virtual bool onNotifyFromNext(bool flag);
    // `index` >= 0 sends to the next unit at that position, -1 to all of them in list order.
    // Disabled units are skipped. Returns the last receiver's result, or 0 when none was called.
    virtual unsigned long transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length, int index,
                                     int param);
    virtual unsigned long transmitTo_async(std::shared_ptr<QelBuffer> buffer, unsigned long length, int index,
                                           int param);
    // Sends to every enabled next unit whose input accepts `type`.
    virtual unsigned long transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                     UnitDataType type, int param);
    virtual unsigned long transmitTo_async(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                           UnitDataType type, int param);
    virtual unsigned long _transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length, int index,
                                      int param, bool async);
    virtual unsigned long _transmitTo(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                      UnitDataType type, int param, bool async);

private:
    unsigned long sendTo(UnitBase* next, const std::shared_ptr<QelBuffer>& buffer, unsigned long length,
                         int param, bool async, bool* called);
};

// The output side of a sink unit: it feeds nothing.
class QUORVANE_EXPORT EndpointOutput : public UnitOutput {
public:
    EndpointOutput(UnitDataType dataType, unsigned int maxUnits, UnitBase* owner);
    ~EndpointOutput() override;
};

// A unit: the common part, an input side of kind In and an output side of kind Out. Concrete
// units name their kinds in the last two letters of their class name (E endpoint, S slave,
// M master).
template <class In, class Out>
class QUORVANE_EXPORT Unit : public UnitBase, public In, public Out {
public:
    Unit(std::string name, UnitDataType inType, unsigned int inMax, UnitDataType outType, unsigned int outMax)
        : UnitBase(std::move(name)), In(inType, inMax, this), Out(outType, outMax, this) {
        UnitBase::input = this;
        UnitBase::output = this;
        UnitBase::self = this;
    }

    ~Unit() override {
        // Fallback for units that did not stop their worker themselves; see SlaveInput.
        if constexpr (std::is_base_of<SlaveInput, In>::value) In::stopAsyncTransmit();
    }
};

#endif
