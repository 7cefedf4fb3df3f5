// gdk-pixbuf loader module for sprite files: GTK programs (image viewers,
// file choosers, thumbnailers) open SPR, S16 and C16 files through it.
//
// Which of the two kinds a file is cannot be told from its bytes (an SPR
// file has no flags), only from its name: gdk-pixbuf picks a loader by the
// file's MIME type, so this source is built as two modules, one for
// image/x-tamsorel-spr (TAMSOREL_LOADER_SPR=1) and one for the two 16-bit
// types (TAMSOREL_LOADER_SPR=0), whose header flags tell S16 from C16.
//
// Loading is incremental: the bytes are gathered as they arrive (up to the
// 1 GiB a file may have), the size of frame 1 is announced as soon as its
// directory entry is there, and the image is made when the last byte is in.
// A file of one frame is a plain image; a file of several is an animation
// that shows each frame for 100 ms and loops, decoding a frame only when it
// is shown.  Every failure is a GError with the reason in words.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gmodule.h>

#include <cstring>
#include <new>
#include <string>

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
constexpr int kFrameMilliseconds = 100;

void SetError(GError** error, GdkPixbufError code, const std::string& reason) {
  g_set_error(error, GDK_PIXBUF_ERROR, code, "%s", (std::string(kSpr ? "SPR" : "S16/C16") +
                                                    " sprite: " + reason).c_str());
}

// A frame as a new pixbuf, or null with the error set.
GdkPixbuf* NewFrame(SpriteFrames& frames, uint32_t shown, GError** error) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, static_cast<int>(frames.Width(shown)),
                                     static_cast<int>(frames.Height(shown)));
  if (!pixbuf) {
    SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for a frame");
    return nullptr;
  }
  const std::string why = frames.DecodeRgba(shown, gdk_pixbuf_get_pixels(pixbuf),
                                            static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf)));
  if (!why.empty() && error) {
    SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
             "frame " + std::to_string(frames.FileIndex(shown)) + " cannot be decoded: " + why);
    g_object_unref(pixbuf);
    return nullptr;
  }
  return pixbuf;  // a frame that fails when shown later stays transparent
}

// The file's bytes and frames, shared by the animation and its iterators.
// Iterators of one animation may be used from different threads: `lock`
// keeps their decoding one at a time.
struct Held {
  gint refs = 1;
  GByteArray* bytes = nullptr;
  SpriteFrames frames;
  GMutex lock;
  Held() { g_mutex_init(&lock); }
  ~Held() { g_mutex_clear(&lock); }
};

Held* Ref(Held* held) {
  g_atomic_int_inc(&held->refs);
  return held;
}

void Unref(Held* held) {
  if (held && g_atomic_int_dec_and_test(&held->refs)) {
    g_byte_array_unref(held->bytes);
    delete held;
  }
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

// --- The animation: frame 1 is held as its static image; the frame on
// show is decoded when an iterator reaches it.

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
  uint32_t shown;
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
uint32_t FrameAt(gint64 elapsed, uint32_t count) {
  if (elapsed < 0) return 0;
  return static_cast<uint32_t>((elapsed / (kFrameMilliseconds * 1000)) % count);
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

GdkPixbuf* IterPixbuf(GdkPixbufAnimationIter* it) {
  SpriteIter* iter = SPRITE_ITER(it);
  if (iter->shown == 0) return iter->first;
  if (!iter->current) {
    g_mutex_lock(&iter->held->lock);
    iter->current = NewFrame(iter->held->frames, iter->shown, nullptr);
    g_mutex_unlock(&iter->held->lock);
  }
  return iter->current ? iter->current : iter->first;
}

gboolean IterLoading(GdkPixbufAnimationIter*) { return FALSE; }

gboolean IterAdvance(GdkPixbufAnimationIter* it, const GTimeVal* time) {
  SpriteIter* iter = SPRITE_ITER(it);
  gint64 now = Microseconds(time);
  if (now < iter->start) iter->start = now;
  const uint32_t shown = FrameAt(now - iter->start, iter->held->frames.Count());
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
  if (width) *width = gdk_pixbuf_get_width(animation->first);
  if (height) *height = gdk_pixbuf_get_height(animation->first);
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
  GdkPixbufModuleSizeFunc size;
  GdkPixbufModulePreparedFunc prepared;
  GdkPixbufModuleUpdatedFunc updated;
  gpointer user;
  GByteArray* bytes;
  bool announced = false;  // the size of frame 1 went to the size callback
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer user, GError** error) {
  Context* context = new (std::nothrow) Context{size, prepared, updated, user, g_byte_array_new()};
  if (!context) SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
  return context;
}

gboolean LoadIncrement(gpointer data, const guchar* buffer, guint size, GError** error) {
  Context* context = static_cast<Context*>(data);
  if (uint64_t{context->bytes->len} + size > kPluginLimits.heldFileBytes) {
    SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "the file is larger than the 1 GiB a sprite may have");
    return FALSE;
  }
  if (size > 0) g_byte_array_append(context->bytes, buffer, size);
  if (context->announced) return TRUE;
  FirstFrame first;
  std::string problem;
  switch (tamsorel::plugins::ReadFirstFrame(context->bytes->data, context->bytes->len, kSpr, &first, &problem)) {
    case HeaderState::kNeedMore:
      return TRUE;
    case HeaderState::kRefused:
      SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, problem);
      return FALSE;
    case HeaderState::kReady:
      break;
  }
  context->announced = true;
  if (context->size) {
    int width = static_cast<int>(first.width), height = static_cast<int>(first.height);
    context->size(&width, &height, context->user);
    // A size of zero asks for no image: the caller wanted the size only.
    if (width == 0 || height == 0) {
      SetError(error, GDK_PIXBUF_ERROR_FAILED, "no image was wanted");
      return FALSE;
    }
  }
  return TRUE;
}

gboolean StopLoad(gpointer data, GError** error) {
  Context* context = static_cast<Context*>(data);
  Held* held = new (std::nothrow) Held;
  gboolean result = FALSE;
  std::string problem;
  if (!held) {
    SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
  } else {
    held->bytes = context->bytes;
    context->bytes = nullptr;
    FirstFrame first;
    const HeaderState header = tamsorel::plugins::ReadFirstFrame(held->bytes->data, held->bytes->len, kSpr, &first,
                                                                 &problem);
    if (header == HeaderState::kNeedMore) {
      SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, held->bytes->len == 0 ? "the file is empty"
                                                                           : "the file ends inside its header");
    } else if (header == HeaderState::kRefused ||
               !held->frames.Open(held->bytes->data, held->bytes->len, kSpr, &problem)) {
      SetError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, problem);
    } else if (GdkPixbuf* pixbuf = NewFrame(held->frames, 0, error)) {
      if (!context->announced && context->size) {
        int width = static_cast<int>(first.width), height = static_cast<int>(first.height);
        context->size(&width, &height, context->user);
      }
      GdkPixbufAnimation* animation = nullptr;
      if (held->frames.Count() > 1) {
        SpriteAnimation* a = SPRITE_ANIMATION(g_object_new(sprite_animation_get_type(), nullptr));
        a->held = Ref(held);
        a->first = GDK_PIXBUF(g_object_ref(pixbuf));
        animation = GDK_PIXBUF_ANIMATION(a);
      }
      if (context->prepared) context->prepared(pixbuf, animation, context->user);
      if (context->updated) {
        context->updated(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), context->user);
      }
      if (animation) g_object_unref(animation);
      g_object_unref(pixbuf);
      result = TRUE;
    }
  }
  Unref(held);
  if (context->bytes) g_byte_array_unref(context->bytes);
  delete context;
  return result;
}

}  // namespace

extern "C" {

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
  // No signature: the kind of a sprite shows in its file's name only.
  static GdkPixbufModulePattern signature[] = {{nullptr, nullptr, 0}};
#if TAMSOREL_LOADER_SPR
  static gchar* mime_types[] = {const_cast<gchar*>("image/x-tamsorel-spr"), nullptr};
  static gchar* extensions[] = {const_cast<gchar*>("spr"), nullptr};
  info->name = const_cast<gchar*>("tamsorel-spr");
  info->description = const_cast<gchar*>("SPR sprite");
#else
  static gchar* mime_types[] = {const_cast<gchar*>("image/x-tamsorel-s16"), const_cast<gchar*>("image/x-tamsorel-c16"),
                                nullptr};
  static gchar* extensions[] = {const_cast<gchar*>("s16"), const_cast<gchar*>("c16"), nullptr};
  info->name = const_cast<gchar*>("tamsorel-s16");
  info->description = const_cast<gchar*>("S16 and C16 sprite");
#endif
  info->signature = signature;
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"
