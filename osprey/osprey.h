/* libosprey: the recording library.
 *
 * Listing functions. Both may be called at any time from any thread,
 * independently of recording. The window handle is ignored. The returned
 * text is NUL-terminated UTF-8 owned by the library; it stays valid until
 * the next call of the same function on the same thread. Copy it at once.
 */
#ifndef KESTREL_OSPREY_H
#define KESTREL_OSPREY_H

#if defined(__GNUC__)
#define OSPREY_API __attribute__((visibility("default")))
#else
#define OSPREY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The capture adapters: for each adapter, in the order libpcap lists them,
 * "SOURCE|DESCRIPTION|NETMASK|ADDRESS<|>". SOURCE is the capture source name
 * ("rpcap://eth0"); DESCRIPTION the driver's description without its wrapping
 * text; NETMASK the mask's four bytes read as a little-endian 32-bit integer,
 * in decimal (255.255.255.0 is 16777215; an adapter without IPv4 address
 * repeats the previous entry's value, 16777215 before the first); ADDRESS the
 * dotted IPv4 address or "N/A". With several IPv4 addresses the last counts.
 * Empty text when the adapters cannot be listed or there are none. */
OSPREY_API const char* GetAdapterList(void* window);

/* The usable local IPv4 addresses (interfaces up, running, not loopback):
 * "|" before each dotted address, e.g. "|192.168.1.5|10.0.0.2"; empty text
 * when there is none or the table cannot be read. */
OSPREY_API const char* GetUsableIPInfo(void* window);

#ifdef __cplusplus
}
#endif

#endif
