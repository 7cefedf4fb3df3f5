// gdk-pixbuf loader module for sprite files: GTK programs (image viewers,
// file choosers, thumbnailers) open SPR, S16 and C16 files through it.
//
// Which of the two kinds a file is cannot be told from its bytes (an SPR
// file has no flags), only from its name: gdk-pixbuf picks a loader by the
// file's MIME type, so this source is built as two modules, one for
// image/x-tamsorel-spr (TAMSOREL_LOADER_SPR=1) and one for the two 16-bit
// types (TAMSOREL_LOADER_SPR=0), whose header flags tell S16 from C16.  The
// 16-bit module also registers signatures for hosts that pick a loader by
// the first bytes (see fill_info); SPR has none to register.
//
// Loading is incremental: the bytes are gathered as they arrive (up to the
// 1 GiB a file may have, in memory taken with g_try_realloc), and the image
// is made when the last byte is in.  A file of one frame is a plain image
// whose size is announced as soon as its directory entry is there.  A file
// of several frames is an animation that shows each frame for 100 ms and
// loops, decoding a frame only when it is shown; as GIF animations do, it
// has the size that holds every frame (each placed at the top-left, the
// rest transparent), announced when the file is whole.
//
// The module runs inside other people's programs: no allocation that
// depends on the input may abort the host.  Memory is taken with GLib's
// g_try_* functions or C++ allocation whose failure is caught before it
// reaches gdk-pixbuf; every entry point catches at the C boundary.  A load
// that failed or was declined stays so: nothing more is decoded and no
// signal fires, and every failure is one GError with the reason in words.
// What a load holds: the file's bytes and one frame as the core keeps it,
// plus the image on show.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gmodule.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if TAMSOREL_PIXBUF_ALLOCATION_SEAM
#include <atomic>
#endif

#include "sprite_frames.h"

#include <gdk-pixbuf/gdk-pixbuf-io.h>

#ifndef TAMSOREL_LOADER_SPR
#error "build with TAMSOREL_LOADER_SPR=1 (the SPR module) or 0 (the S16 and C16 module)"
#endif

namespace {

using tamsorel::plugins::FirstFrame;
using tamsorel::plugins::HeaderState;
using tamsorel::plugins::kPluginLimits;
using tamsorel::plugins::SpriteFrames;

constexpr bool kSpr = TAMSOREL_LOADER_SPR != 0;
constexpr const char* kKind = kSpr ? "SPR" : "S16/C16";
constexpr int kFrameMilliseconds = 100;
// An animation's canvas holds at most as many pixels as the largest frame
// the core accepts has bytes: a later frame that would widen it past that
// is left out, as a damaged frame is.
constexpr uint64_t kCanvasPixels = kPluginLimits.framePixelBytes;

// --- The allocation seam of the tests' build (TAMSOREL_PIXBUF_ALLOCATION_SEAM,
// never installed): every allocation whose size or number depends on the
// input asks AllocationRefused() first, and the test makes the Nth of a
// load fail through the two functions below, which only it calls.
#if TAMSOREL_PIXBUF_ALLOCATION_SEAM
std::atomic<long> seam_fail_at{0};
std::atomic<long> seam_count{0};

bool AllocationRefused() {
  const long n = ++seam_count;
  return n == seam_fail_at.load();
}
#else
constexpr bool AllocationRefused() { return false; }
#endif

// Text built for a message: like any allocation it may fail.
std::string Words(std::string text) {
  if (AllocationRefused()) throw std::bad_alloc();
  return text;
}

// --- The file's bytes as they arrive.  GLib's growing arrays abort the
// process when memory runs out; this buffer reports it instead.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() { g_free(data_); }

  const uint8_t* Data() const { return data_; }
  std::size_t Size() const { return size_; }

  // Appends `count` bytes; false when the memory cannot be had (nothing
  // changes then).  The capacity grows by doubling, never past `limit`,
  // which the caller has checked size + count against.
  bool Append(const guchar* bytes, std::size_t count, std::size_t limit) {
    if (count == 0) return true;
    if (count > capacity_ - size_) {
      const std::size_t doubled = capacity_ == 0 ? 4096 : capacity_ <= limit / 2 ? capacity_ * 2 : limit;
      const std::size_t want = std::max(doubled, size_ + count);
      if (AllocationRefused()) return false;
      void* grown = g_try_realloc(data_, want);
      if (!grown) return false;
      data_ = static_cast<uint8_t*>(grown);
      capacity_ = want;
    }
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
    return true;
  }

  // Gives back what the doubling took beyond the file, once it is whole.
  void Trim() {
    if (size_ == 0 || size_ == capacity_) return;
    if (void* trimmed = g_try_realloc(data_, size_)) {
      data_ = static_cast<uint8_t*>(trimmed);
      capacity_ = size_;
    }
  }

 private:
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The file's bytes and frames, shared by the load, the animation and its
// iterators.  Iterators of one animation may be used from different
// threads: `lock` keeps their decoding one at a time.
struct Held {
  gint refs = 1;
  Bytes bytes;
  SpriteFrames frames;
  std::vector<uint32_t> shown;  // the frames of SpriteFrames on show, in order
  int width = 0;                // the canvas
  int height = 0;
  GMutex lock;
  Held() { g_mutex_init(&lock); }
  ~Held() { g_mutex_clear(&lock); }
};

Held* Ref(Held* held) {
  g_atomic_int_inc(&held->refs);
  return held;
}

void Unref(Held* held) {
  if (held && g_atomic_int_dec_and_test(&held->refs)) delete held;
}

// The frames on show and the canvas that holds them: frame 1, then each
// later frame that keeps the canvas within kCanvasPixels.
void PlaceFrames(Held* held) {
  const SpriteFrames& frames = held->frames;
  uint32_t width = frames.Width(0), height = frames.Height(0);
  held->shown.clear();
  held->shown.reserve(frames.Count());  // may throw: caught at the entry point
  held->shown.push_back(0);
  for (uint32_t i = 1; i < frames.Count(); ++i) {
    const uint32_t w = std::max(width, frames.Width(i)), h = std::max(height, frames.Height(i));
    if (uint64_t{w} * h > kCanvasPixels) continue;
    width = w;
    height = h;
    held->shown.push_back(i);
  }
  held->width = static_cast<int>(width);
  held->height = static_cast<int>(height);
}

// Shown frame `position` on a canvas of its own, transparent where the
// frame does not reach.  Null when the memory cannot be had; a frame that
// cannot be decoded leaves the canvas transparent and `why` says why.
GdkPixbuf* NewCanvas(Held* held, std::size_t position, std::string* why) {
  if (AllocationRefused()) {
    *why = "not enough memory for the image";
    return nullptr;
  }
  // gdk_pixbuf_new takes its pixels with g_try_malloc: null, not an abort.
  GdkPixbuf* canvas = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, held->width, held->height);
  if (!canvas) {
    *why = "not enough memory for the image";
    return nullptr;
  }
  gdk_pixbuf_fill(canvas, 0);
  const uint32_t frame = held->shown[position];
  g_mutex_lock(&held->lock);
  // The core takes the memory a frame is decoded in; its failure is caught
  // there and given as "out of memory".
  std::string failure = AllocationRefused()
                            ? std::string("out of memory")
                            : held->frames.DecodeRgba(frame, gdk_pixbuf_get_pixels(canvas),
                                                      static_cast<std::size_t>(gdk_pixbuf_get_rowstride(canvas)));
  g_mutex_unlock(&held->lock);
  if (!failure.empty()) {
    try {
      *why = Words("frame " + std::to_string(held->frames.FileIndex(frame)) + " cannot be decoded: " + failure);
    } catch (...) {
      g_object_unref(canvas);
      throw;
    }
  }
  return canvas;
}

// GObject type names are global to the process, which may load both
// modules: each module's types get names of their own.
#if TAMSOREL_LOADER_SPR
#define SpriteAnimation TamsorelSprAnimation
#define SpriteAnimationClass TamsorelSprAnimationClass
#define SpriteIter TamsorelSprAnimationIter
#define SpriteIterClass TamsorelSprAnimationIterClass
#else
#define SpriteAnimation TamsorelS16Animation
#define SpriteAnimationClass TamsorelS16AnimationClass
#define SpriteIter TamsorelS16AnimationIter
#define SpriteIterClass TamsorelS16AnimationIterClass
#endif

// --- The animation: frame 1 on its canvas is held as the static image;
// the frame on show is decoded when an iterator reaches it.

struct SpriteAnimation {
  GdkPixbufAnimation parent;
  Held* held;
  GdkPixbuf* first;
};
struct SpriteAnimationClass {
  GdkPixbufAnimationClass parent;
};
struct SpriteIter {
  GdkPixbufAnimationIter parent;
  Held* held;
  GdkPixbuf* first;    // frame 1, shared with the animation
  GdkPixbuf* current;  // the frame on show when it is not frame 1
  std::size_t shown;   // its position in held->shown
  gint64 start;        // microseconds
};
struct SpriteIterClass {
  GdkPixbufAnimationIterClass parent;
};

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
GType sprite_animation_get_type();
GType sprite_iter_get_type();
G_DEFINE_TYPE(SpriteAnimation, sprite_animation, GDK_TYPE_PIXBUF_ANIMATION)
G_DEFINE_TYPE(SpriteIter, sprite_iter, GDK_TYPE_PIXBUF_ANIMATION_ITER)

#define SPRITE_ANIMATION(o) (G_TYPE_CHECK_INSTANCE_CAST((o), sprite_animation_get_type(), SpriteAnimation))
#define SPRITE_ITER(o) (G_TYPE_CHECK_INSTANCE_CAST((o), sprite_iter_get_type(), SpriteIter))

gint64 Microseconds(const GTimeVal* time) {
  if (!time) return g_get_real_time();
  return gint64{time->tv_sec} * G_USEC_PER_SEC + time->tv_usec;
}

// The frame to show `elapsed` microseconds after the start; before the
// start (the clock went back) the animation starts again.
std::size_t FrameAt(gint64 elapsed, std::size_t count) {
  if (elapsed < 0) return 0;
  return static_cast<std::size_t>((elapsed / (kFrameMilliseconds * 1000)) % static_cast<gint64>(count));
}

void sprite_iter_init(SpriteIter*) {}

void sprite_iter_finalize(GObject* object) {
  SpriteIter* iter = SPRITE_ITER(object);
  if (iter->current) g_object_unref(iter->current);
  g_object_unref(iter->first);
  Unref(iter->held);
  G_OBJECT_CLASS(sprite_iter_parent_class)->finalize(object);
}

int IterDelay(GdkPixbufAnimationIter*) { return kFrameMilliseconds; }

// Frame 1 stands in for a frame whose canvas cannot be had.
GdkPixbuf* IterPixbuf(GdkPixbufAnimationIter* it) {
  SpriteIter* iter = SPRITE_ITER(it);
  if (iter->shown == 0) return iter->first;
  if (!iter->current) {
    try {
      std::string why;  // a later frame that fails to decode shows transparent
      iter->current = NewCanvas(iter->held, iter->shown, &why);
    } catch (...) {
      // Out of memory for the words of a failure: the canvas went with it.
    }
  }
  return iter->current ? iter->current : iter->first;
}

gboolean IterLoading(GdkPixbufAnimationIter*) { return FALSE; }

gboolean IterAdvance(GdkPixbufAnimationIter* it, const GTimeVal* time) {
  SpriteIter* iter = SPRITE_ITER(it);
  gint64 now = Microseconds(time);
  if (now < iter->start) iter->start = now;
  const std::size_t shown = FrameAt(now - iter->start, iter->held->shown.size());
  if (shown == iter->shown) return FALSE;
  iter->shown = shown;
  if (iter->current) {
    g_object_unref(iter->current);
    iter->current = nullptr;
  }
  return TRUE;
}

void sprite_iter_class_init(SpriteIterClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = sprite_iter_finalize;
  GdkPixbufAnimationIterClass* iter = GDK_PIXBUF_ANIMATION_ITER_CLASS(klass);
  iter->get_delay_time = IterDelay;
  iter->get_pixbuf = IterPixbuf;
  iter->on_currently_loading_frame = IterLoading;
  iter->advance = IterAdvance;
}

void sprite_animation_init(SpriteAnimation*) {}

void sprite_animation_finalize(GObject* object) {
  SpriteAnimation* animation = SPRITE_ANIMATION(object);
  if (animation->first) g_object_unref(animation->first);
  Unref(animation->held);
  G_OBJECT_CLASS(sprite_animation_parent_class)->finalize(object);
}

gboolean AnimationIsStatic(GdkPixbufAnimation*) { return FALSE; }

GdkPixbuf* AnimationStatic(GdkPixbufAnimation* animation) { return SPRITE_ANIMATION(animation)->first; }

void AnimationSize(GdkPixbufAnimation* a, int* width, int* height) {
  SpriteAnimation* animation = SPRITE_ANIMATION(a);
  if (width) *width = animation->held->width;
  if (height) *height = animation->held->height;
}

GdkPixbufAnimationIter* AnimationIter(GdkPixbufAnimation* a, const GTimeVal* start) {
  SpriteAnimation* animation = SPRITE_ANIMATION(a);
  SpriteIter* iter = SPRITE_ITER(g_object_new(sprite_iter_get_type(), nullptr));
  iter->held = Ref(animation->held);
  iter->first = GDK_PIXBUF(g_object_ref(animation->first));
  iter->current = nullptr;
  iter->shown = 0;
  iter->start = Microseconds(start);
  return GDK_PIXBUF_ANIMATION_ITER(iter);
}

void sprite_animation_class_init(SpriteAnimationClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = sprite_animation_finalize;
  GdkPixbufAnimationClass* animation = GDK_PIXBUF_ANIMATION_CLASS(klass);
  animation->is_static_image = AnimationIsStatic;
  animation->get_static_image = AnimationStatic;
  animation->get_size = AnimationSize;
  animation->get_iter = AnimationIter;
}
G_GNUC_END_IGNORE_DEPRECATIONS

// --- Incremental loading.

struct Context {
  GdkPixbufModuleSizeFunc size = nullptr;
  GdkPixbufModulePreparedFunc prepared = nullptr;
  GdkPixbufModuleUpdatedFunc updated = nullptr;
  gpointer user = nullptr;
  Held* held = nullptr;
  bool announced = false;    // the size went to the size callback
  GError* failure = nullptr;  // set once the load failed or was declined; it stays so

  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    Unref(held);
    if (failure) g_error_free(failure);
  }
};

// Ends the load with `reason`: the caller gets it as its GError (unless it
// has one already), and every later call of the load gives it again.
gboolean Fail(Context* context, GError** error, GdkPixbufError code, const char* reason) {
  if (!context->failure) context->failure = g_error_new(GDK_PIXBUF_ERROR, code, "%s sprite: %s", kKind, reason);
  if (error && !*error) *error = g_error_copy(context->failure);
  return FALSE;
}

gboolean Fail(Context* context, GError** error, GdkPixbufError code, const std::string& reason) {
  return Fail(context, error, code, reason.c_str());
}

// A load that failed before fails again with the same reason.
gboolean Repeat(Context* context, GError** error) {
  if (error && !*error) *error = g_error_copy(context->failure);
  return FALSE;
}

// Runs one entry point's work; whatever it throws ends the load there with
// an error instead of unwinding into C.
template <typename Work>
gboolean AtBoundary(Context* context, GError** error, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return Fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
  } catch (...) {
    return Fail(context, error, GDK_PIXBUF_ERROR_FAILED, "the loader failed");
  }
}

// Tells the host the image's size; false when it asks for no image (a
// size of zero or less: it wanted the size only).
bool Announce(Context* context, int width, int height) {
  context->announced = true;
  if (!context->size) return true;
  context->size(&width, &height, context->user);
  return width > 0 && height > 0;
}

// The frame count a header claims (the header is there).
uint32_t ClaimedFrames(const uint8_t* bytes) {
  const uint8_t* count = bytes + (kSpr ? 0 : 4);
  return count[0] | (uint32_t{count[1]} << 8);
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer user, GError** error) {
  Context* context = AllocationRefused() ? nullptr : new (std::nothrow) Context;
  Held* held = context && !AllocationRefused() ? new (std::nothrow) Held : nullptr;
  if (!held) {
    delete context;
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "%s sprite: out of memory", kKind);
    return nullptr;
  }
  context->size = size;
  context->prepared = prepared;
  context->updated = updated;
  context->user = user;
  context->held = held;
  return context;
}

gboolean LoadIncrement(gpointer data, const guchar* buffer, guint size, GError** error) {
  Context* context = static_cast<Context*>(data);
  return AtBoundary(context, error, [&]() -> gboolean {
    if (context->failure) return Repeat(context, error);
    Bytes& bytes = context->held->bytes;
    const std::size_t limit = static_cast<std::size_t>(kPluginLimits.heldFileBytes);
    if (size > limit - bytes.Size()) {
      return Fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                  Words("the file is larger than the " + tamsorel::MiBText(kPluginLimits.heldFileBytes) +
                        " a sprite may have"));
    }
    if (!bytes.Append(buffer, size, limit)) {
      return Fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the file's bytes");
    }
    if (context->announced) return TRUE;
    FirstFrame first;
    std::string problem;
    switch (tamsorel::plugins::ReadFirstFrame(bytes.Data(), bytes.Size(), kSpr, &first, &problem)) {
      case HeaderState::kNeedMore:
        return TRUE;
      case HeaderState::kRefused:
        return Fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, Words(problem));
      case HeaderState::kReady:
        break;
    }
    // A file of several frames has the size of all of them, known when
    // the file is whole.
    if (ClaimedFrames(bytes.Data()) > 1) return TRUE;
    if (!Announce(context, static_cast<int>(first.width), static_cast<int>(first.height))) {
      return Fail(context, error, GDK_PIXBUF_ERROR_FAILED, "no image was wanted");
    }
    return TRUE;
  });
}

gboolean Finish(Context* context, GError** error) {
  if (context->failure) return Repeat(context, error);
  Held* held = context->held;
  held->bytes.Trim();
  FirstFrame first;
  std::string problem;
  switch (tamsorel::plugins::ReadFirstFrame(held->bytes.Data(), held->bytes.Size(), kSpr, &first, &problem)) {
    case HeaderState::kNeedMore:
      return Fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                  held->bytes.Size() == 0 ? "the file is empty" : "the file ends inside its header");
    case HeaderState::kRefused:
      return Fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, Words(problem));
    case HeaderState::kReady:
      break;
  }
  // The core's directory, frame 1 decoded, and the frame list: memory the
  // core takes with operator new, whose failure it gives as "out of memory".
  if (AllocationRefused() ||
      !held->frames.Open(held->bytes.Data(), held->bytes.Size(), kSpr, &problem)) {
    if (problem.empty() || problem == "out of memory") {
      return Fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    }
    return Fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, Words(problem));
  }
  if (AllocationRefused()) throw std::bad_alloc();  // the frame list, as PlaceFrames may
  PlaceFrames(held);
  if (!context->announced && !Announce(context, held->width, held->height)) {
    return Fail(context, error, GDK_PIXBUF_ERROR_FAILED, "no image was wanted");
  }
  GdkPixbuf* image = NewCanvas(held, 0, &problem);
  if (!image || !problem.empty()) {
    if (image) g_object_unref(image);
    return Fail(context, error, !image || problem.find("out of memory") != std::string::npos
                                    ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                problem);
  }
  GdkPixbufAnimation* animation = nullptr;
  if (held->shown.size() > 1) {
    SpriteAnimation* a = SPRITE_ANIMATION(g_object_new(sprite_animation_get_type(), nullptr));
    a->held = Ref(held);
    a->first = GDK_PIXBUF(g_object_ref(image));
    animation = GDK_PIXBUF_ANIMATION(a);
  }
  if (context->prepared) context->prepared(image, animation, context->user);
  if (context->updated) context->updated(image, 0, 0, held->width, held->height, context->user);
  if (animation) g_object_unref(animation);
  g_object_unref(image);
  return TRUE;
}

gboolean StopLoad(gpointer data, GError** error) {
  std::unique_ptr<Context> context(static_cast<Context*>(data));
  return AtBoundary(context.get(), error, [&] { return Finish(context.get(), error); });
}

#if !TAMSOREL_LOADER_SPR
// --- Signatures of the 16-bit kinds, for hosts that pick a loader by a
// file's first bytes.  A pattern is a byte string and a mask, one letter a
// byte: ' ' the byte itself, 'z' zero, 'n' not zero, 'x' any.  The bytes
// under 'z', 'n' and 'x' are placeholders (a pattern cannot hold zeros).
// Matched: the flags 0 to 3 (bytes 0-3, little-endian), a frame count that
// is not zero (bytes 4-5), and frame 1's entry with its pixels within the
// first 16 MiB (byte 9 zero: they follow the directory) and a width and a
// height that are not zero (bytes 10-11, 12-13).  "Not zero" over two
// bytes is two patterns, low byte not zero or low zero and high not zero:
// 4 flags x 2 x 2 x 2 patterns.
constexpr int kSignatures = 4 * 8;
constexpr std::size_t kSignatureBytes = 14;
char signature_bytes[kSignatures][kSignatureBytes + 1];
char signature_masks[kSignatures][kSignatureBytes + 1];
GdkPixbufModulePattern signatures[kSignatures + 1];

void FillSignatures() {
  for (int i = 0; i < kSignatures; ++i) {
    char* bytes = signature_bytes[i];
    char* mask = signature_masks[i];
    std::memcpy(bytes, "fzzzcccxxzwwhh", kSignatureBytes + 1);
    std::memcpy(mask, "xzzzxxxxxzxxxx", kSignatureBytes + 1);
    const int flags = i / 8;
    if (flags == 0) {
      mask[0] = 'z';
    } else {
      bytes[0] = static_cast<char>(flags);
      mask[0] = ' ';
    }
    // Count, width, height: each its low byte not zero, or its low byte
    // zero and its high byte not zero.
    const int fields[] = {4, 10, 12};
    for (int f = 0; f < 3; ++f) {
      const bool highOnly = (i >> f) & 1;
      mask[fields[f]] = highOnly ? 'z' : 'n';
      mask[fields[f] + 1] = highOnly ? 'n' : 'x';
    }
    signatures[i] = {bytes, mask, 100};
  }
  signatures[kSignatures] = {nullptr, nullptr, 0};
}
#endif

}  // namespace

extern "C" {

#if TAMSOREL_PIXBUF_ALLOCATION_SEAM
// The tests' build only: the `fail_at`th allocation from now on fails (0:
// none), and how many were asked for since.
G_MODULE_EXPORT void tamsorel_pixbuf_seam_fail_at(long fail_at) {
  seam_count = 0;
  seam_fail_at = fail_at;
}
G_MODULE_EXPORT long tamsorel_pixbuf_seam_count() { return seam_count.load(); }
#endif

// The module defines GObject types, which cannot be unregistered: it must
// stay loaded once it has been loaded.
G_MODULE_EXPORT const gchar* g_module_check_init(GModule* module) {
  g_module_make_resident(module);
  return nullptr;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->begin_load = BeginLoad;
  module->stop_load = StopLoad;
  module->load_increment = LoadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
#if TAMSOREL_LOADER_SPR
  // No signature: an SPR file's first bytes are a count and a directory
  // entry, which too many other files begin with.
  static GdkPixbufModulePattern no_signature[] = {{nullptr, nullptr, 0}};
  static gchar* mime_types[] = {const_cast<gchar*>("image/x-tamsorel-spr"), nullptr};
  static gchar* extensions[] = {const_cast<gchar*>("spr"), nullptr};
  info->name = const_cast<gchar*>("tamsorel-spr");
  info->description = const_cast<gchar*>("SPR sprite");
  info->signature = no_signature;
#else
  static gchar* mime_types[] = {const_cast<gchar*>("image/x-tamsorel-s16"), const_cast<gchar*>("image/x-tamsorel-c16"),
                                nullptr};
  static gchar* extensions[] = {const_cast<gchar*>("s16"), const_cast<gchar*>("c16"), nullptr};
  info->name = const_cast<gchar*>("tamsorel-s16");
  info->description = const_cast<gchar*>("S16 and C16 sprite");
  FillSignatures();
  info->signature = signatures;
#endif
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"
