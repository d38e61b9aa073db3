// Which interpreter the state belongs to, and which call of the entry runs
// the initialisation sequence: the owner binding and the claim made on it.
#pragma once

#include <Python.h>

namespace qx {

// The refusal of a call made while the sequence runs (circular import).
void RefuseWhileInitialising() noexcept;

enum class Claim { kRefused, kReady, kRun };

// Decides what this call of the entry does. kReady: the module is this
// interpreter's, in *ready (a new reference); kRun: this interpreter owns
// the state and this thread holds g_init_claim; kRefused: ImportError set.
Claim ClaimState(PyObject** ready) noexcept;

// The sequence is over, the module published or cleared: whether it made
// the module or not, the owner stays (a failed import leaves its objects for
// its own retry, and any other interpreter may take over).
void EndClaim() noexcept;

}  // namespace qx
