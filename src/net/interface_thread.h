// Interface threads: the listener and ARP threads of each client interface.
//
// The table exists from start-up; the threads come with packet interception.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

struct proxy_context;

struct interface_thread {
  std::string name;
};

using interface_thread_table = std::unordered_map<std::string, std::unique_ptr<interface_thread>>;

void interface_thread_init(proxy_context* context);
void interface_thread_destroy(proxy_context* context);
