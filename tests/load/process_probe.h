#ifndef TESTS_LOAD_PROCESS_PROBE_H_
#define TESTS_LOAD_PROCESS_PROBE_H_

#include <sys/types.h>

// What /proc tells about a running process: its resident memory and the processor time it has
// used. Both read the process's files afresh on every call; -1 when the process is gone.
struct ProcessProbe {
    // VmRSS in kilobytes.
    static long ResidentKb(pid_t pid);
    // User plus system time in seconds.
    static double CpuSeconds(pid_t pid);
};

// Lowers or raises this process's soft RLIMIT_NOFILE (never above the hard limit) and puts the
// old value back when it goes. Children forked meanwhile keep the limit they were born with.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(long soft);
    ~DescriptorLimit();
    DescriptorLimit(const DescriptorLimit &) = delete;
    DescriptorLimit &operator=(const DescriptorLimit &) = delete;

    // Raises the soft limit to the hard one for good; the new soft limit.
    static long RaiseToHard();

  private:
    long saved_;
};

#endif  // TESTS_LOAD_PROCESS_PROBE_H_
