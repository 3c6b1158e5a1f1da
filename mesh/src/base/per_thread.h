// Per-thread storage for a module the interpreter loads with dlopen. A plain thread_local there
// costs a call into the dynamic linker (__tls_get_addr) on every use; the initial-exec model puts
// it in the static TLS block instead, which glibc keeps room in for such libraries. Keep what is
// declared this way small (a few hundred bytes in all).
#pragma once

#define KORVO_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))
