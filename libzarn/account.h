// Running as the system account of the gateway's daemons.
#pragma once

// Outcome of becoming an account.
enum class AccountSwitch { done, no_account, refused };

// Sets the group and then the user id to those of `name`, dropping every
// supplementary group first (which fails harmlessly when not root).
AccountSwitch become_account(const char* name);
