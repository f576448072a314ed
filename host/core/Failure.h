#pragma once

#include <QString>

#include <optional>

namespace host {

// Why something failed: the one shape a failure takes in this program, from
// the place that met it to the log line and the user's text. The kind is what
// the program acts on; the detail says what happened in words, with the
// system's or the server's own reason in it.
struct Failure {
    enum class Kind {
        Network,       // no connection, an HTTP error, a cut-off or stalled transfer, an end nothing proves
        TooSlow,       // a transfer that crawled under its floor, or a read past its deadline
        TooLarge,      // more bytes than may be held
        NoSpace,       // the announced size does not fit in the folder's free space
        WriteFailed,   // bytes could not be stored, or a file not put in its place
        ReadFailed,    // a file could not be read
        Malformed,     // text that is not what it should be: a key, a signature, a stored value
        OtherKey,      // signed, but by no key this build trusts
        Unverified,    // the signature does not cover these bytes, or its comment was altered
        LibraryFailed, // a library the program needs could not start
        OlderRelease,  // signed before the newest release accepted
        Expired,       // signed with an expiry time that has passed
        Future,        // signed at a time far ahead of this computer's clock
        NotStarted,    // a download that could not even start: no usable address, no room for a byte
    };
    Kind kind = Kind::Network;
    QString detail;
    // A number the user may quote back to support, where the failure has one
    // (a download that could not start); 0 otherwise.
    int code = 0;
};

// What an operation that yields nothing else returns: nothing, or why it
// failed.
using Outcome = std::optional<Failure>;

// How a log line names a kind: "network", "too large", ...
const char* KindName(Failure::Kind kind);

} // namespace host
