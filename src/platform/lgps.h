/* The router vendor's GPS library, as far as this daemon uses it: one call that fills the
 * receiver's current position record over the caller's ubus connection. A router build links
 * the vendor's library; on a PC the stand-in of tools/lgps provides the same call. */
#ifndef VOXAPP_PLATFORM_LGPS_H
#define VOXAPP_PLATFORM_LGPS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ubus_context;

/* lgps_get results; any other value also means success. */
#define LGPS_OK 0
#define LGPS_ERR_UBUS 1 /* the bus, or the GPS service on it, could not be reached */
#define LGPS_ERR_LIB 2  /* the library or the receiver failed */

/* 72 bytes, little-endian, doubles and the timestamp 8-byte aligned. */
struct lgps_data {
    double longitude; /* degrees */
    double latitude;  /* degrees */
    double altitude;
    double course;
    double speed;
    double accuracy;
    int32_t satellites;
    int32_t fix_type; /* 1 or 2 when known */
    uint8_t reserved[8];
    int64_t timestamp; /* seconds since 1970-01-01 UTC; 0: no data */
};

/* Fills `data` with the receiver's current record. Blocks for at most about a second. Not
 * thread-safe on one context: callers serialise calls that share `ctx`. */
int lgps_get(struct ubus_context *ctx, struct lgps_data *data);

#ifdef __cplusplus
}
#endif

#endif
