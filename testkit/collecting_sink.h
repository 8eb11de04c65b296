#ifndef QUORVANE_TESTKIT_COLLECTING_SINK_H
#define QUORVANE_TESTKIT_COLLECTING_SINK_H

#include <memory>
#include <mutex>
#include <vector>

#include "platform/buffer.h"
#include "testkit/annexb.h"
#include "units/unit_callback_endpoint.h"

namespace testkit {

// A pipeline end for tests: an enabled callback endpoint whose callback keeps a copy of every
// buffer it is handed, with the input position it came from. Safe to read while another thread
// delivers.
class CollectingSink {
public:
    struct Delivery {
        Bytes data;
        int inputIndex;
    };

    CollectingSink();
    CollectingSink(const CollectingSink&) = delete;
    CollectingSink& operator=(const CollectingSink&) = delete;

    // The unit to link after a depacketizer (addOutputUnit(&sink.unit(), true)).
    CallBackEndpointUnitSE& unit() { return mUnit; }

    std::vector<Delivery> deliveries() const;
    size_t count() const;
    // Every delivered buffer, concatenated: the Annex-B stream the application would see.
    Bytes annexB() const;
    void clear();

private:
    mutable std::mutex mMutex;
    std::vector<Delivery> mDeliveries;  // guarded by mMutex
    CallBackEndpointUnitSE mUnit;       // last: its callback uses the members above
};

// A heap buffer holding `packet`, as a receiver hands one RTP packet to the pipeline.
std::shared_ptr<QelBuffer> makePacketBuffer(const Bytes& packet);

}  // namespace testkit

#endif
