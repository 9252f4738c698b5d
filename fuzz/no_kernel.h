// A guard for fuzz targets whose code could talk to the kernel's packet
// filter or ip sets: from the call on, the process can open no socket and
// load no kernel module.
#pragma once

// Installs the seccomp filter (socket, socketpair, init_module and
// finit_module fail with EACCES) and checks that it holds; aborts when it
// cannot be installed.
void forbid_kernel_access();
