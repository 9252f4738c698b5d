// The command table of a control session and the loop that reads commands.
#pragma once

#include <string>
#include <vector>

#include "libzarn/socket.h"

// What a handler gives back to end the command loop.
inline constexpr int kEndSession = -2;

// A command handler: the connection and the words of the line (command word
// included). 1 or 0 to go on, kEndSession to end the loop.
using CommandHandler = int (*)(client_class& record, const std::vector<std::string>& words);

// One entry of the command table; the last has no word and takes every line
// whose first word matched nothing.
struct RouterCommand {
  const char* word;
  CommandHandler handler;
};

// The table, in the order words are looked up.
extern const RouterCommand router[];

// Reads, splits and dispatches lines until a handler ends the loop or a read
// fails (peer gone, idle time-out, over-long line).
void commands(client_class& record, const RouterCommand* table);
