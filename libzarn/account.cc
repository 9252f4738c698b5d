#include "libzarn/account.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

AccountSwitch become_account(const char* name) {
  const passwd* account = getpwnam(name);
  if (!account) return AccountSwitch::no_account;
  setgroups(0, nullptr);
  if (setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) return AccountSwitch::refused;
  return AccountSwitch::done;
}
