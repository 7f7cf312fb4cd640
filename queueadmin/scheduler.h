// LP scheduler control: whether the scheduler runs, and starting and stopping
// it with the LP service's own commands. The scheduler counts as running
// exactly while its lock file exists. Results are truth values (1 or 0), not
// protocol return codes.
#pragma once

// 1 when the scheduler's lock file exists, else 0.
int SchedulerOn();

// 1 when the scheduler runs on return: it already ran (nothing is started) or
// lpsched succeeded and the lock file appeared within 30 pauses of 500 ms.
// 0 when lpsched failed (no waiting then) or the lock file never appeared.
int StartSched();

// 1 when the scheduler is stopped on return: it was not running (nothing is
// run) or lpshut succeeded and the lock file went within 30 pauses of 500 ms.
// 0 when lpshut failed or the lock file stayed.
int ShutSched();
