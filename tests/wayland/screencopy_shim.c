/*
 * LD_PRELOAD shim for xdg-desktop-portal-wlr in the headless test bed.
 *
 * With the pixman renderer wlroots never sends zwlr_screencopy_frame_v1's
 * linux_dmabuf event, and xdpw 0.7.0 then refuses ScreenCast Start.  We
 * echo every shm "buffer" event as a "linux_dmabuf" event of the same size.
 * Without a GBM device xdpw still offers only shm buffers to PipeWire, so
 * the announced DMA-BUF format is never used.  Test bed only.
 */
#define _GNU_SOURCE /* NOLINT(bugprone-reserved-identifier): glibc gives RTLD_NEXT with it */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* Declared here so the shim builds without libwayland's dev headers. */
struct wl_proxy;
typedef void (*wl_fn)(void);

/* Event order of zwlr_screencopy_frame_v1 (protocol version 3). */
enum {
	EV_BUFFER,
	EV_FLAGS,
	EV_READY,
	EV_FAILED,
	EV_DAMAGE,
	EV_LINUX_DMABUF,
	EV_BUFFER_DONE,
	EV_COUNT
};

typedef void (*buffer_fn)(void *data, struct wl_proxy *frame, uint32_t format,
			  uint32_t width, uint32_t height, uint32_t stride);
typedef void (*dmabuf_fn)(void *data, struct wl_proxy *frame, uint32_t format,
			  uint32_t width, uint32_t height);

/*
 * The copy must start with the event table: libwayland dispatches through it,
 * and the wrapper finds `orig` again via wl_proxy_get_listener().
 */
struct patched_listener {
	wl_fn events[EV_COUNT];
	wl_fn const *orig;
};

/* Clients use one static listener per interface, so a few slots suffice and
 * entries never need freeing (frames come and go at frame rate). */
#define MAX_LISTENERS 8
static struct patched_listener patched[MAX_LISTENERS];
static int n_patched;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int (*real_add_listener)(struct wl_proxy *, wl_fn *, void *);
static const char *(*real_get_class)(struct wl_proxy *);
static const void *(*real_get_listener)(struct wl_proxy *);

/* wl_shm keeps two legacy codes that differ from DRM fourcc. */
static uint32_t drm_fourcc_from_shm(uint32_t format)
{
	if (format == 0)
		return 0x34325241; /* AR24 */
	if (format == 1)
		return 0x34325258; /* XR24 */
	return format;
}

static void buffer_then_dmabuf(void *data, struct wl_proxy *frame,
			       uint32_t format, uint32_t width,
			       uint32_t height, uint32_t stride)
{
	const struct patched_listener *p = real_get_listener(frame);
	buffer_fn buffer = (buffer_fn)p->orig[EV_BUFFER];
	dmabuf_fn dmabuf = (dmabuf_fn)p->orig[EV_LINUX_DMABUF];

	if (buffer)
		buffer(data, frame, format, width, height, stride);
	if (dmabuf)
		dmabuf(data, frame, drm_fourcc_from_shm(format), width, height);
}

static int resolve(void)
{
	if (real_add_listener && real_get_class && real_get_listener)
		return 1;
	*(void **)&real_add_listener = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
	*(void **)&real_get_class = dlsym(RTLD_NEXT, "wl_proxy_get_class");
	*(void **)&real_get_listener = dlsym(RTLD_NEXT, "wl_proxy_get_listener");
	return real_add_listener && real_get_class && real_get_listener;
}

/* Returns the copy for `orig`, or NULL when out of slots. */
static const struct patched_listener *patch_for(wl_fn const *orig)
{
	const struct patched_listener *found = NULL;
	int i;

	pthread_mutex_lock(&lock);
	for (i = 0; i < n_patched; i++) {
		if (patched[i].orig == orig) {
			found = &patched[i];
			break;
		}
	}
	if (!found && n_patched < MAX_LISTENERS) {
		struct patched_listener *p = &patched[n_patched++];

		memcpy(p->events, orig, sizeof(p->events));
		p->events[EV_BUFFER] = (wl_fn)buffer_then_dmabuf;
		p->orig = orig;
		found = p;
	}
	pthread_mutex_unlock(&lock);
	return found;
}

int wl_proxy_add_listener(struct wl_proxy *proxy, wl_fn *implementation,
			  void *data)
{
	pthread_mutex_lock(&lock);
	int ok = resolve();
	pthread_mutex_unlock(&lock);
	if (!ok) {
		fprintf(stderr, "screencopy_shim: libwayland-client not found\n");
		return -1;
	}

	const char *cls = real_get_class(proxy);
	if (implementation && cls &&
	    strcmp(cls, "zwlr_screencopy_frame_v1") == 0) {
		const struct patched_listener *p = patch_for(implementation);

		if (p)
			return real_add_listener(proxy, (wl_fn *)p->events, data);
		fprintf(stderr, "screencopy_shim: too many listeners, not patching\n");
	}
	return real_add_listener(proxy, implementation, data);
}
