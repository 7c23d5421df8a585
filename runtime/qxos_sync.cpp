/*
** qxos synchronisation: locks, semaphores, events, counters, sleep, CPUs.
**
** Divisions of this file:
**   1. Locks (recursive critical sections with an owner word)
**   2. Semaphores
**   3. Events (manual reset)
**   4. Counters, sleep, processor count
**
** Semaphores and events are a mutex, a condition variable and a word. Timed
** waits measure on CLOCK_MONOTONIC so that a change of the wall clock
** neither cuts a wait short nor stretches it.
*/
#include "qxos.h"
#include "qxos_internal.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

/* ================================================ 1. Locks */

extern "C" void os_mutex2_init(void)
{
    /* Locks need no process-wide set-up on this platform; the pair is kept
    ** so that callers follow one order of start and stop everywhere. */
}

extern "C" void os_mutex2_deinit(void) {}

extern "C" void os_mutex2_create(os_mutex2_t *lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock->cs.mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    lock->owner = 0;
}

extern "C" void os_mutex2_free(os_mutex2_t *lock) { pthread_mutex_destroy(&lock->cs.mutex); }

extern "C" void os_cs_enter(os_critical_section *cs) { pthread_mutex_lock(&cs->mutex); }

extern "C" void os_cs_leave(os_critical_section *cs) { pthread_mutex_unlock(&cs->mutex); }

/* ================================================ 2. Semaphores */

namespace {

void init_monotonic_cond(pthread_mutex_t *mutex, pthread_cond_t *cond)
{
    pthread_mutex_init(mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

timespec deadline_after(uint32_t ms)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

/* Waits on cond until ready() holds or the deadline passes; the caller
** holds mutex. True when ready() holds on return. */
template <typename Ready> bool wait_until(pthread_cond_t *cond, pthread_mutex_t *mutex, uint32_t ms, Ready ready)
{
    if (ms == OS_WAIT_FOREVER) {
        while (!ready())
            pthread_cond_wait(cond, mutex);
        return true;
    }
    timespec deadline = deadline_after(ms);
    while (!ready()) {
        if (pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT)
            return ready();
    }
    return true;
}

} // namespace

extern "C" void os_semaphore_create(os_semaphore_t *sem, uint32_t initial)
{
    init_monotonic_cond(&sem->mutex, &sem->cond);
    sem->count = initial;
}

extern "C" void os_semaphore_free(os_semaphore_t *sem)
{
    pthread_cond_destroy(&sem->cond);
    pthread_mutex_destroy(&sem->mutex);
}

extern "C" void os_semaphore_p(os_semaphore_t *sem) { os_semaphore_p_timed(sem, OS_WAIT_FOREVER); }

extern "C" void os_semaphore_v(os_semaphore_t *sem)
{
    pthread_mutex_lock(&sem->mutex);
    sem->count++;
    pthread_cond_signal(&sem->cond);
    pthread_mutex_unlock(&sem->mutex);
}

extern "C" int32_t os_semaphore_p_timed(os_semaphore_t *sem, uint32_t ms)
{
    pthread_mutex_lock(&sem->mutex);
    bool taken = wait_until(&sem->cond, &sem->mutex, ms, [sem] { return sem->count > 0; });
    if (taken)
        sem->count--;
    pthread_mutex_unlock(&sem->mutex);
    return taken ? 1 : 0;
}

/* ================================================ 3. Events */

extern "C" void os_event2_create(os_event2_t *ev)
{
    init_monotonic_cond(&ev->mutex, &ev->cond);
    ev->is_set = 0;
}

extern "C" void os_event2_free(os_event2_t *ev)
{
    pthread_cond_destroy(&ev->cond);
    pthread_mutex_destroy(&ev->mutex);
}

extern "C" void os_event2_set(os_event2_t *ev)
{
    pthread_mutex_lock(&ev->mutex);
    ev->is_set = 1;
    pthread_cond_broadcast(&ev->cond);
    pthread_mutex_unlock(&ev->mutex);
}

extern "C" void os_event2_reset(os_event2_t *ev)
{
    pthread_mutex_lock(&ev->mutex);
    ev->is_set = 0;
    pthread_mutex_unlock(&ev->mutex);
}

extern "C" int32_t os_event2_wait(os_event2_t *ev, uint32_t ms)
{
    pthread_mutex_lock(&ev->mutex);
    bool set = wait_until(&ev->cond, &ev->mutex, ms, [ev] { return ev->is_set != 0; });
    pthread_mutex_unlock(&ev->mutex);
    return set ? 1 : 0;
}

/* ================================================ 4. Counters, sleep, CPUs */

extern "C" int32_t os_interlock_inc(volatile int32_t *counter)
{
    return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST);
}

extern "C" int32_t os_interlock_dec(volatile int32_t *counter)
{
    return __atomic_sub_fetch(counter, 1, __ATOMIC_SEQ_CST);
}

extern "C" void os_thread_sleep(uint32_t ms)
{
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" uint32_t cpu_get_cpu_num(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n >= 1 ? static_cast<uint32_t>(n) : 1u;
}
