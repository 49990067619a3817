// The library's static objects, in one place so that their order is fixed:
// the framing key, the registry, the teardown; built in this order at load,
// torn down in the reverse order at unload (process exit or dlclose).
//
// The teardown comes last so that it runs first at unload: it refuses new
// calls, closes every adapter still open (which lets every waiting receiver
// go and stops the receive threads) and refuses opens from then on, waits
// for the calls still inside the library to leave, and only then lets the
// registry be destroyed. It frees the log and the last-error store last.
#include <chrono>

#include "api/QYCANDevMgr.h"
#include "drivers/common/library_lifetime.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"
#include "support/aes128.h"
#include "support/yorvProcotol.h"

namespace {
// The secured framing's key schedule, ready before any adapter is opened.
struct FramingKey {
    FramingKey() { AES_Init(au8AES_Cipher); }
} framingKey;
}  // namespace

QYCANDevMgr ycanDevMgr;

namespace {

class LibraryTeardown {
public:
    LibraryTeardown() = default;
    LibraryTeardown(const LibraryTeardown&) = delete;
    LibraryTeardown& operator=(const LibraryTeardown&) = delete;
    ~LibraryTeardown() {
        ycan::lifetime::beginShutdown();
        ycanDevMgr.shutDown();
        // Released callers are on their way out; a caller that never leaves
        // (stuck in its own code inside a callback, say) is not waited for
        // past the bound.
        ycan::lifetime::waitCallsLeft(std::chrono::seconds(2));
        QErrMgr::destroyInstance();
        QUserLog::DestroyInstance();
    }
};

LibraryTeardown teardown;

}  // namespace
