#ifndef QUORVANE_UNITS_UNIT_CALLBACK_ENDPOINT_H
#define QUORVANE_UNITS_UNIT_CALLBACK_ENDPOINT_H

#include <functional>
#include <memory>

#include "../quorvane_export.h"
#include "unit.h"

// The sink of a pipeline: hands every buffer it receives to `callback` as a plain pointer and
// length. The pointer is valid only during the call; a callback that keeps the bytes copies them.
class QUORVANE_EXPORT CallBackEndpointUnitSE : public Unit<SlaveInput, EndpointOutput> {
public:
    CallBackEndpointUnitSE();
    ~CallBackEndpointUnitSE() override;

    // Returns the callback's result (bufferCallback's when set), or 0 without looking at the buffer when no
    // callback is set.
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int inputIndex,
                               int param) override;

    // Assigned by the owner before the unit is enabled and left alone while data flows.
    std::function<unsigned long(unsigned char*, unsigned long, int, int)> callback;
    // When set, called instead of `callback` with the buffer itself, for owners that read its
    // BufferInfo as well. Same rules as `callback`.
    std::function<unsigned long(const std::shared_ptr<QelBuffer>&, unsigned long, int, int)> bufferCallback;
};

#endif
