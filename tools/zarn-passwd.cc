// zarn-passwd: prints the stored form of a password (router or subscriber
// account) under the crypt_key of a configuration file, with the SQL to set it.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/paths.h"
#include "libzarn/string_utils.h"
#include "tools/zarn_passwd_form.h"

namespace {

constexpr const char* kUsage =
    "NAME\n"
    "     zarn-passwd - the stored form of a router or subscriber password\n"
    "\n"
    "SYNOPSIS\n"
    "     zarn-passwd [-c config] (-r router-id | -u subscriber-user)\n"
    "\n"
    "DESCRIPTION\n"
    "     Reads the password from the first line of standard input (never from\n"
    "     the command line), enciphers it under the crypt_key of config\n"
    "     (default /zarn/conf/zarn-router.conf; use /zarn/conf/zarn-auth.conf\n"
    "     for subscriber accounts) and prints the SQL statement that stores it:\n"
    "     the router's internet_routers.password (-r) or a subscriber's\n"
    "     internet_vpn.pass (-u).\n"
    "\n"
    "EXIT STATUS\n"
    "     0 on success; 1 when the key is missing or refused (over 24\n"
    "     characters) or no password came; 64 for a usage error.\n"
    "\n"
    "EXAMPLE\n"
    "     echo 'secret' | zarn-passwd -r 1 | mariadb gateway\n";

}  // namespace

int main(int argc, char** argv) {
  std::string config = ZARN_ROUTER_CONF;
  std::string router, user;
  int opt;
  while ((opt = getopt(argc, argv, "c:r:u:h")) != -1) {
    switch (opt) {
      case 'c':
        config = optarg;
        break;
      case 'r':
        router = optarg;
        break;
      case 'u':
        user = optarg;
        break;
      default:
        std::fputs(kUsage, opt == 'h' ? stdout : stderr);
        return opt == 'h' ? 0 : 64;
    }
  }
  if (router.empty() == user.empty() ||
      (!router.empty() && router.find_first_not_of("0123456789") != std::string::npos)) {
    std::fputs(kUsage, stderr);
    return 64;
  }
  extern_error_log = "/dev/null";
  std::optional<std::string> text = file_get_contents(config.c_str());
  std::optional<std::string> key;
  if (text) {
    const ConfigKey keys[] = {{"crypt_key", &key}};
    scan_config(*text, keys);
  }
  if (!key) {
    std::fprintf(stderr, "zarn-passwd: no crypt_key in %s\n", config.c_str());
    return 1;
  }
  std::string password;
  if (!std::getline(std::cin, password) || password.empty()) {
    std::fprintf(stderr, "zarn-passwd: no password on standard input\n");
    return 1;
  }
  std::optional<std::string> hex = stored_password_hex(*key, password);
  if (!hex) {
    std::fprintf(stderr, "zarn-passwd: the crypt_key of %s is refused (more than 24 characters?)\n", config.c_str());
    return 1;
  }
  if (!router.empty())
    std::printf("UPDATE internet_routers SET `password` = UNHEX('%s') WHERE id = %s;\n", hex->c_str(), router.c_str());
  else
    std::printf("UPDATE internet_vpn SET pass = UNHEX('%s') WHERE `user` = '%s';\n", hex->c_str(),
                slash_this(user).c_str());
  return 0;
}
