#include "units/unit_callback_endpoint.h"

#include <utility>

CallBackEndpointUnitSE::CallBackEndpointUnitSE()
    : Unit<SlaveInput, EndpointOutput>("CALLBACK_EP", UNIT_DATA_ANY, 10, UNIT_DATA_ANY, 1) {}

// A queued task may be running `callback` on the worker: stop the worker before `callback` goes.
CallBackEndpointUnitSE::~CallBackEndpointUnitSE() {
    stopAsyncTransmit();
}

unsigned long CallBackEndpointUnitSE::onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length,
                                                   int inputIndex, int param) {
    if (bufferCallback) return bufferCallback(buffer, length, inputIndex, param);
    if (!callback) return 0;
    auto* data = buffer ? static_cast<unsigned char*>(buffer->getVaddr()) : nullptr;
    return callback(data, length, inputIndex, param);
}
