// kqsbench's printing rows: queue creation through kqsd against the same
// work done without it (its LP commands run directly in plain mode, CUPS's
// own lpadmin in CUPS mode), changing a queue in place, and listing queues
// with kqsctl against CUPS's lpstat. Each function prints its rows; none
// asserts anything.
#pragma once

#include <string>

namespace kqs {

// Plain mode, against the daemon running in this namespace: its add-queue
// of one queue (removed again, untimed), alternating with the same LP
// commands started in sequence by the bench on a tree of its own.
void BenchPlainAddQueue(int rounds);

// CUPS mode, on a private cupsd and a kqsd of its own (no other may run in
// this namespace): kqsd's add-queue against `lpadmin -p Q -v URI -E`, then
// `kqsctl queues` against `lpstat -p` with queues queues defined in both,
// then printing a 200 MB job through a kqsd queue against CUPS's socket://
// queue to the same fake printer.
// Prints "skipped" when cupsd is not installed.
void BenchCups(int rounds, int queues);

}  // namespace kqs
