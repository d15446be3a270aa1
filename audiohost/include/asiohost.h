/* ASIOHOST.dll: Velkin's low-latency audio host.
 *
 * The program lists the devices, opens one, creates its buffers, registers one
 * output channel with a fill callback and starts playback; the library's own
 * thread then calls the callback once per buffer. Every operation is safe in
 * any order and with nothing initialised. */
#ifndef VELKIN_ASIOHOST_H
#define VELKIN_ASIOHOST_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32) && defined(ASIOHOST_BUILDING)
#define ASIOHOST_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ASIOHOST_STATIC)
#define ASIOHOST_API __declspec(dllimport)
#else
#define ASIOHOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Fills `count` signed 16-bit samples: the first count / 2 are the left
 * channel, the next count / 2 the right. `context` is the descriptor's
 * callbackContext. */
typedef void (*AsioFillCallback)(int16_t* buffer, uint32_t count, void* context);

/* The registration of one output channel. Its six words are 32 bits wide but
 * for the two addresses, which are pointer-wide. The library keeps the
 * descriptor's address from CreateVirtualChannel until ASIOShutdown. */
typedef struct ChannelDescriptor {
  uint32_t reserved0;          /* 0 */
  uint32_t sampleCount;        /* samples per fill call, both halves together */
  AsioFillCallback fillCallback;
  uint32_t reserved3;          /* 0 */
  void* callbackContext;
  uint32_t reserved5;          /* 0 */
} ChannelDescriptor;

/* The window message ASIOInit's window receives when the device's sample
 * rate or format changes: WM_APP + 10, written out so that this header needs
 * no system header. */
#define ASIOHOST_RATE_CHANGED_MESSAGE (0x8000 + 10)

/* Lays the device names, each ended by a zero byte, into `names` (at most
 * `size` bytes) and returns how many devices there are. */
ASIOHOST_API int32_t ASIOGetDevices(char* names, int32_t size);
/* Opens device `device`; `window` receives ASIOHOST_RATE_CHANGED_MESSAGE
 * when the device's sample rate or format changes. False for a device that does not
 * exist, a negative number included. */
ASIOHOST_API bool ASIOInit(void* window, int32_t device);
/* Non-zero when the device's buffers were created. */
ASIOHOST_API int32_t ASIOCreateBuffers(int32_t channels, int32_t bufferCount);
/* Samples in one half of a fill buffer. */
ASIOHOST_API int32_t ASIOGetPrimaryBufferSizeSamples(void);
ASIOHOST_API int32_t ASIOGetSampleRate(void);
ASIOHOST_API bool CreateVirtualChannel(ChannelDescriptor* descriptor);
ASIOHOST_API void PreLoadBuffers(int32_t channel);
ASIOHOST_API void StartPlay(int32_t channel);
ASIOHOST_API void CloseVirtualChannel(int32_t channel);
/* Stops playback and releases the device. Once it returns the callback is
 * never called again and the descriptor is not touched. */
ASIOHOST_API void ASIOShutdown(void);

#ifdef __cplusplus
}
#endif

#endif
