// Bringing sites and clients up and down.
//
// The registry (contexts/) only holds records; what a site or a client needs
// outside it is set up and torn down here, in this order:
//   site up      the cache VDI opened and its file system checked (cache_init),
//                under site_lock; then the record joins the table
//   client up    the transmit socket (when prepopulating), the RRD source, the
//                interface threads (one fanout group); status INITIALISED;
//                then the record joins the table, all under client_lock
//   client down  prepopulation stopped and its holds waited for, the transmit
//                socket closed, the interface threads stopped, the vDisk
//                reference dropped (the RRD source goes with the record)
//   site down    its clients down, its servers removed, cache_teardown
// The site commands and the restore of saved state call the create and remove
// operations, on the unixsocket thread; shutdown calls the destroy ones. Create
// operations copy their strings and are idempotent by uuid.
#pragma once

#include <cstdint>

struct proxy_context;
struct site_context;
struct client_context;

// The site (new, or the existing one of that uuid and cache VDI) or null: the
// cache VDI differs from the running site's, or cache_init failed. `created`
// (may be null) tells whether this call made it.
site_context* site_contexts_create(proxy_context* context, const char* uuid, const char* cache_vdi,
                                   bool* created);
// Brings the site's clients down, removes its servers and tears its cache down.
void site_contexts_remove(proxy_context* context, const char* uuid);
// Shutdown only, after the client, server and vDisk tables are gone.
void site_contexts_destroy(proxy_context* context);

// The client (new, or the existing one of that uuid with `prepopulate`
// updated) or null: its interface threads failed to start, or another client
// already has this MAC. Holds client_lock, so up to the threads' start-up
// time-out.
client_context* client_contexts_create(proxy_context* context, site_context* sitecontext,
                                       const char* uuid, const uint8_t* mac, const char* interface,
                                       bool prepopulate);
void client_contexts_remove_by_uuid(proxy_context* context, const char* uuid);
void client_contexts_remove_by_site_context(proxy_context* context, site_context* sitecontext);
// Shutdown only.
void client_contexts_destroy(proxy_context* context);
