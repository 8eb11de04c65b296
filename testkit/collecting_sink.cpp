#include "testkit/collecting_sink.h"

#include <cstring>

namespace testkit {

CollectingSink::CollectingSink() {
    mUnit.callback = [this](unsigned char* data, unsigned long len, int inputIndex, int) -> unsigned long {
        std::lock_guard<std::mutex> lock(mMutex);
        mDeliveries.push_back(Delivery{Bytes(data, data + len), inputIndex});
        return len;
    };
    mUnit.enable();
}

std::vector<CollectingSink::Delivery> CollectingSink::deliveries() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDeliveries;
}

size_t CollectingSink::count() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDeliveries.size();
}

Bytes CollectingSink::annexB() const {
    std::lock_guard<std::mutex> lock(mMutex);
    Bytes out;
    for (const Delivery& d : mDeliveries) out.insert(out.end(), d.data.begin(), d.data.end());
    return out;
}

void CollectingSink::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mDeliveries.clear();
}

std::shared_ptr<QelBuffer> makePacketBuffer(const Bytes& packet) {
    // A zero-length packet still gets a block, so that tests can hand over empty packets.
    std::shared_ptr<QelBuffer> buffer =
        QelBuffer::createMallocBuffer(packet.empty() ? 1 : packet.size(), nullptr);
    if (!packet.empty()) memcpy(buffer->getVaddr(), packet.data(), packet.size());
    buffer->length = packet.size();
    return buffer;
}

}  // namespace testkit
