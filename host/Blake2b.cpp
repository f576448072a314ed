#include "host/Blake2b.h"

#include <sodium.h>

namespace host {

static_assert(Blake2b::DigestSize == crypto_generichash_BYTES_MAX, "BLAKE2b-512 is the longest digest libsodium makes");

Blake2b::Blake2b() : mState(std::make_unique<crypto_generichash_blake2b_state>()) {
    // Picks the fastest code for this processor. Its only failure (no
    // source of randomness) does not concern hashing.
    [[maybe_unused]] static const int ready = sodium_init();
    reset();
}

Blake2b::~Blake2b() = default;

void Blake2b::reset() {
    crypto_generichash_init(mState.get(), nullptr, 0, DigestSize);
}

void Blake2b::addData(const char* data, qint64 size) {
    // libsodium takes an unsigned long long length; a qint64 always fits.
    if (size > 0) {
        crypto_generichash_update(mState.get(), reinterpret_cast<const unsigned char*>(data),
                                  static_cast<unsigned long long>(size));
    }
}

QByteArray Blake2b::result() {
    QByteArray digest(DigestSize, Qt::Uninitialized);
    crypto_generichash_final(mState.get(), reinterpret_cast<unsigned char*>(digest.data()), DigestSize);
    reset();
    return digest;
}

QByteArray Blake2b::hash(const QByteArray& data) {
    Blake2b hasher;
    hasher.addData(data);
    return hasher.result();
}

} // namespace host
