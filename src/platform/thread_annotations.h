// Lock annotations that clang's -Wthread-safety checks (the `clang` preset
// builds with it and -Werror); with other compilers they only document which
// lock guards what.
#pragma once

#if defined(__clang__)
#define HV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) HV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) HV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) HV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) HV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) HV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) HV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) HV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) HV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS HV_THREAD_ANNOTATION(no_thread_safety_analysis)
