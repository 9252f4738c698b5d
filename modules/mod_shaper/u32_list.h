// The u32 filters under a parent class of a device, read from the kernel over
// rtnetlink (libmnl), kept in a list, looked up by the class they send to and
// deleted by their own handle and priority.
#pragma once

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

extern "C" {

// One u32 filter found by a dump. `device` is an addition: the device that
// was dumped, so that a lookup answers from the device being worked on.
struct u32_filter_entry {
  char parent[256];  // the dumped parent class, class-id text form
  uint32_t prio;     // upper 16 bits of tcm_info
  char kind[64];     // always "u32"
  char flowid[64];   // the class the filter sends to, class-id text form
  uint32_t handle;   // the filter's u32 handle
  u32_filter_entry* next;
  char device[16];
};

// The dump callback's type: (sender address, message, argument).
typedef int (*u32_dump_callback)(const struct sockaddr_nl* who, struct nlmsghdr* message, void* arg);

// First and last entry of the process-wide list (null when empty).
extern u32_filter_entry* st;
extern u32_filter_entry* nxt;
// 1: trace lines on standard output. show_row: handle texts end with "[%08x] ".
extern int debug_u32;
extern int show_row;

// Dumps the filters under `parent` on `device`, handing every message to
// `callback`; the entries of earlier dumps of this device and parent are
// dropped first. 0; -1 no socket, -2 unknown device, -3 request refused, -4 dump failed.
int rntl_comm(const char* device, const char* parent, u32_dump_callback callback);
// Appends the u32 filters that send to a class; always 0.
int filter_u32_list(const struct sockaddr_nl* who, struct nlmsghdr* message, void* arg);
// Appends a copy of the entry to the list.
void array_u32_push(const u32_filter_entry* entry);
// "parent", "prio", "filter", "flowid" or (any other item) "handle" of the
// first entry from `first` on whose flowid text is `flowid`, as a new string
// the caller frees; null when none is.
char* get_u32_info(const u32_filter_entry* first, const char* item, const char* flowid);
// Deletes the filter found for `flowid` among the entries of `device` and
// `parent`. 1; -5 empty list, -6 no entry, -1 bad handle text, -2 no socket,
// -3 unknown device, -4 refused by the kernel.
int filter_u32_delete(const char* device, const char* parent, const char* flowid);
// Reads a u32 handle text ("800::800", "800:", "0x80000800"). 0 or -1.
int get_u32_handle(uint32_t* handle, const char* text);
// Writes the handle's text form into `buffer` (64 bytes) and returns it.
char* sprint_u32_handle(uint32_t handle, char* buffer);
// Reads the handle text (null: nothing to do) into the request's tcm_handle. 0 or -1.
int parse_fopt(const char* handle, struct nlmsghdr* request);
// Releases every entry.
void u32_free(void);
}

// Class-id text form: "root", "none", ":%x", "%x:" or "%x:%x".
std::string print_classid(uint32_t id);
// Reads a class-id text; nothing when it does not parse.
std::optional<uint32_t> get_tc_classid(const char* text);
// The text of a handle, as sprint_u32_handle writes it.
std::string u32_handle_text(uint32_t handle);
