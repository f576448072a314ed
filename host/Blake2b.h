#pragma once

#include <QByteArray>

#include <memory>

struct crypto_generichash_blake2b_state;

namespace host {

// BLAKE2b-512 over bytes that arrive piece by piece, the digest a signature
// over a package is made of: a signer prehashes the whole file the same way,
// so a download can be checked without reading it a second time.
class Blake2b {
public:
    static constexpr int DigestSize = 64;

    Blake2b();
    ~Blake2b();
    Blake2b(const Blake2b&) = delete;
    Blake2b& operator=(const Blake2b&) = delete;

    // Forgets everything added so far.
    void reset();
    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // The digest of everything added since the last reset (DigestSize
    // bytes); the hash then starts again from nothing.
    QByteArray result();

    // The digest of `data` alone.
    static QByteArray hash(const QByteArray& data);

private:
    std::unique_ptr<crypto_generichash_blake2b_state> mState;
};

} // namespace host
