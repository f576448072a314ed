#include "host/Failure.h"

namespace host {

const char* KindName(Failure::Kind kind) {
    switch (kind) {
    case Failure::Kind::Network:
        return "network";
    case Failure::Kind::TooSlow:
        return "too slow";
    case Failure::Kind::TooLarge:
        return "too large";
    case Failure::Kind::NoSpace:
        return "no space";
    case Failure::Kind::WriteFailed:
        return "write failed";
    case Failure::Kind::ReadFailed:
        return "read failed";
    case Failure::Kind::Malformed:
        return "malformed";
    case Failure::Kind::OtherKey:
        return "other key";
    case Failure::Kind::Unverified:
        return "unverified";
    case Failure::Kind::LibraryFailed:
        return "library failed";
    case Failure::Kind::OlderRelease:
        return "older release";
    case Failure::Kind::Expired:
        return "expired";
    case Failure::Kind::Future:
        return "signed in the future";
    case Failure::Kind::NotStarted:
        return "not started";
    }
    return "unknown";
}

} // namespace host
