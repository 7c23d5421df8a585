/*
** QX_DEBUG_ASSERT: checks an invariant that a hot loop relies on. On in the
** sanitizer builds (QXFLDR_SANITIZED) and in builds without NDEBUG (Debug);
** off in Release and RelWithDebInfo, where it costs nothing and does not
** evaluate its condition. A failed check prints where and aborts: an
** invariant that does not hold means data may already be wrong.
*/
#ifndef QXASSERT_H
#define QXASSERT_H

#if defined(QXFLDR_SANITIZED) || !defined(NDEBUG)
#define QX_DEBUG_CHECKS 1
#else
#define QX_DEBUG_CHECKS 0
#endif

#if QX_DEBUG_CHECKS
#include <stdio.h>
#include <stdlib.h>
#define QX_DEBUG_ASSERT(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond);           \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
#else
#define QX_DEBUG_ASSERT(cond) ((void)0)
#endif

#endif
