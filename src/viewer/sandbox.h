// Sandbox: what the process may still do once its window and GL context
// exist and before it reads the first untrusted byte.
#pragma once

// Installs a seccomp filter on every thread that refuses, with an error,
// whatever a parser fault would want and the loop never needs: running
// programs, tracing or reading other processes, new sockets, connecting,
// binding or listening, and creating or changing files (opening for
// writing included). Returns the step that failed, or nullptr once the
// filter holds.
const char *enterSandbox();
