// The three standard descriptors, which a daemon, a cron wrapper or a
// configuration-management agent may start the program with closed.
#ifndef MGMTFETCH_CLI_DESCRIPTORS_H_
#define MGMTFETCH_CLI_DESCRIPTORS_H_

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, and
// touches none that is open. False when one is closed and /dev/null cannot be
// opened: the run must then not go on, since the next file it opens would
// take that descriptor.
bool OpenStandardDescriptors();

#endif  // MGMTFETCH_CLI_DESCRIPTORS_H_
