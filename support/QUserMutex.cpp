#include "support/QUserMutex.h"

namespace ycan {
void userMutexCreate(pthread_mutex_t& m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
}
}  // namespace ycan
