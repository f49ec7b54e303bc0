// Simulated Mac: the part of <mach/mach.h> that the daemon uses.
#ifndef HESTLE_SIM_MACH_MACH_H
#define HESTLE_SIM_MACH_MACH_H

typedef int kern_return_t;
typedef unsigned int mach_port_t;
typedef mach_port_t task_port_t;

#define KERN_SUCCESS 0

#ifdef __cplusplus
extern "C" {
#endif

extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

#ifdef __cplusplus
}
#endif

#endif
