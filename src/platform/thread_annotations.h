// Lock annotations that clang's -Wthread-safety checks; with other compilers
// they only document which lock guards what.
#pragma once

#if defined(__clang__)
#define HV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HV_THREAD_ANNOTATION(x)
#endif

#define GUARDED_BY(x) HV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) HV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) HV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) HV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) HV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS HV_THREAD_ANNOTATION(no_thread_safety_analysis)
