#include "pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform.h"
#include "text.h"
#include "video.h"

namespace lmr::pipeline {

namespace fs = std::filesystem;
using inference::OnnxBackend;
using tile::Tile;
using tile::TileGrid;

namespace {

// Programming errors that ordinary input cannot reach stop the program.
[[noreturn]] void die(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::abort();
}

void say(const std::string& line) {
  text::write_stderr(line);
}

using ull = unsigned long long;

// Runs fn(begin, end) on one thread per chunk and joins them all.
template <class Fn>
void for_each_chunk(uint64_t n, const Fn& fn) {
  const auto chunks = conversion_chunks(n);
  std::vector<std::jthread> threads;
  threads.reserve(chunks.size());
  for (const auto& [begin, end] : chunks) {
    try {
      threads.emplace_back([&fn, b = begin, e = end] { fn(b, e); });
    } catch (const std::system_error&) {
      die("failed to spawn thread");
    }
  }
}

// Plain loops over restrict pointers so that the compiler vectorises them;
// the division stays a true division (a stored reciprocal differs in the
// last bit for some values).
void bytes_to_floats(const uint8_t* __restrict in, float* __restrict out, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    out[i] = static_cast<float>(in[i]) / 255.0f;
}

// Clamping before rounding gives the same bytes as rounding first (every
// value that rounds past an end is clamped to it anyway) and sends NaN to 0
// through the first comparison. Rounding adds the fraction test to the
// truncation instead of adding 0.5, which would round 0.49999997 up.
void floats_to_bytes(const float* __restrict in, uint8_t* __restrict out, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    const float r = in[i] * 255.0f;
    float c = r > 0.0f ? r : 0.0f;
    c = c < 255.0f ? c : 255.0f;
    const int32_t t = static_cast<int32_t>(c);
    const float frac = c - static_cast<float>(t);
    out[i] = static_cast<uint8_t>(t + (frac >= 0.5f ? 1 : 0));
  }
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double ms_per_tile(const OnnxBackend& session) {
  return session.infer_tiles() == 0
             ? 0.0
             : session.infer_ms() / static_cast<double>(session.infer_tiles());
}

uint64_t even_tile(uint64_t t, uint64_t side) {
  return std::max<uint64_t>(std::min(t, side) & ~uint64_t{1}, 2);
}

// A zero-sized frame would make the decoder deliver empty frames forever,
// and sizes whose byte count overflows cannot be allocated. ffmpeg refuses
// pictures where (w + 128) x (h + 128) reaches 2^28: an output that large
// could never be encoded, and its buffers (16 bytes a pixel) would be asked
// of the memory first, where an allocation may succeed and then thrash.
Status check_frame_size(uint64_t w, uint64_t h, uint64_t scale) {
  if (w == 0 || h == 0)
    return fail(text::format("input frame size %llux%llu has no pixels", ull(w), ull(h)));
  constexpr uint64_t kFfmpegPictureLimit = uint64_t{1} << 28;
  uint64_t ow = 0, oh = 0, px = 0, bytes = 0, padded = 0;
  if (__builtin_mul_overflow(w, scale, &ow) || __builtin_mul_overflow(h, scale, &oh) ||
      __builtin_mul_overflow(ow, oh, &px) || __builtin_mul_overflow(px, uint64_t{12}, &bytes) ||
      __builtin_mul_overflow(ow + 128, oh + 128, &padded) || padded >= kFfmpegPictureLimit) {
    return fail(text::format("output frame size %llux%llu at %llux is too large", ull(w), ull(h),
                             ull(scale)));
  }
  return {};
}

// The frame loop both jobs share: decode, convert, `upscale`, convert,
// encode, up to the frame limit; `report` prints progress after frame n.
template <class Upscale, class Report>
Result<uint64_t> frame_loop(uint64_t max_frames,
                            video::Decoder& decoder,
                            video::Encoder& encoder,
                            Upscale&& upscale,
                            Report&& report) {
  uint64_t n = 0;
  if (max_frames == 0)
    return n;
  for (;;) {
    auto frame = decoder.next_frame();
    if (!frame)
      return std::unexpected(frame.error());
    if (!*frame)
      break;
    std::vector<float> in = rgb_to_f32(**frame);
    Result<std::vector<float>> out = upscale(in);
    if (!out)
      return std::unexpected(out.error());
    const std::vector<uint8_t> bytes = f32_to_rgb(*out);
    if (auto st = encoder.write_frame(bytes); !st)
      return std::unexpected(st.error());
    ++n;
    if (n == 1 || n % 10 == 0)
      report(n);
    if (n >= max_frames)
      break;
  }
  return n;
}

struct OpenVideo {
  video::Decoder decoder;
  video::Encoder encoder;
};

// Decoder at the input's size, encoder at the upscaled size with the
// source's pixel shape and its audio copied up to the end of the frames.
Result<OpenVideo> open_video(const UpscaleConfig& c, const video::VideoInfo& info) {
  auto decoder = video::Decoder::create(c.input, info.width, info.height, std::nullopt,
                                        video::colour_filters(info));
  if (!decoder)
    return std::unexpected(decoder.error());
  const uint64_t ow = info.width * c.scale, oh = info.height * c.scale;
  const video::SourceTraits traits{info.sar_num, info.sar_den,
                                   video::video_seconds(info, c.max_frames)};
  auto encoder =
      video::Encoder::create(c.output, c.input, std::nullopt, ow, oh, ow, oh, info.r_frame_rate,
                             c.codec, "copy", video::Quality{c.quality}, traits);
  if (!encoder)
    return std::unexpected(encoder.error());
  return OpenVideo{std::move(*decoder), std::move(*encoder)};
}

// Checks that come before any child process starts, then the probe.
Result<video::VideoInfo> probe_input(const UpscaleConfig& c) {
  if (auto st = check_output_is_not_input(c.input, c.output); !st)
    return std::unexpected(st.error());
  auto info = video::probe(c.input);
  if (!info)
    return info;
  if (auto st = video::check_colours(*info); !st)
    return std::unexpected(st.error());
  if (auto st = check_frame_size(info->width, info->height, c.scale); !st)
    return std::unexpected(st.error());
  return info;
}

// Weight of output row (or column) i of a tile of `len` rows: a linear ramp
// towards each neighbour, full weight at the frame edges.
float ramp_weight(uint64_t i, uint64_t len, uint64_t ramp, bool before, bool after) {
  float w = 1.0f;
  if (ramp == 0)
    return w;
  const float r = static_cast<float>(ramp);
  if (before && i < ramp)
    w = std::min((static_cast<float>(i) + 0.5f) / r, 1.0f);
  if (after && (len - i) <= ramp)
    w = std::min(w, (static_cast<float>(len - i) - 0.5f) / r);
  return w;
}

uint64_t ramp_len(uint64_t count, float step, uint64_t scale) {
  return count >= 2 ? static_cast<uint64_t>(std::fabs(step) * static_cast<float>(scale)) : 0;
}

}  // namespace

std::vector<std::pair<uint64_t, uint64_t>> conversion_chunks(uint64_t n) {
  std::vector<std::pair<uint64_t, uint64_t>> chunks;
  if (n == 0)
    return chunks;
  const uint64_t len = tile::chunk_len(n);
  chunks.reserve((n + len - 1) / len);
  for (uint64_t begin = 0; begin < n; begin += len)
    chunks.emplace_back(begin, std::min(n, begin + len));
  return chunks;
}

std::vector<float> rgb_to_f32(std::span<const uint8_t> bytes) {
  std::vector<float> out(bytes.size());
  for_each_chunk(bytes.size(), [&](uint64_t b, uint64_t e) {
    bytes_to_floats(bytes.data() + b, out.data() + b, e - b);
  });
  return out;
}

std::vector<uint8_t> f32_to_rgb(std::span<const float> floats) {
  std::vector<uint8_t> out(floats.size());
  for_each_chunk(floats.size(), [&](uint64_t b, uint64_t e) {
    floats_to_bytes(floats.data() + b, out.data() + b, e - b);
  });
  return out;
}

void bilinear_resize_hwc(std::span<const float> src,
                         uint64_t src_w,
                         uint64_t src_h,
                         std::span<float> dst,
                         uint64_t dst_w,
                         uint64_t dst_h) {
  if (dst_w == 0 || dst_h == 0)
    return;
  if (src_w == 0 || src_h == 0 || src.size() / 3 / src_w < src_h ||
      dst.size() / 3 / dst_w < dst_h) {
    die("bilinear_resize_hwc: buffer shorter than its frame size");
  }
  const double sx = static_cast<double>(src_w) / static_cast<double>(dst_w);
  const double sy = static_cast<double>(src_h) / static_cast<double>(dst_h);

  // Source index pair and weight along one axis. The weight is taken against
  // the clamped index, so it goes negative at the top and left edges.
  struct Axis {
    uint64_t i0, i1;
    float w;
  };
  auto axis = [](double scale, uint64_t d, uint64_t src_len) {
    const double f = scale * (static_cast<double>(d) + 0.5) - 0.5;
    const int64_t i0 = std::max<int64_t>(static_cast<int64_t>(std::floor(f)), 0);
    const uint64_t u0 = static_cast<uint64_t>(i0);
    return Axis{u0, std::min(src_len - 1, u0 + 1), static_cast<float>(f - static_cast<double>(i0))};
  };
  std::vector<Axis> cols(dst_w);
  for (uint64_t x = 0; x < dst_w; ++x)
    cols[x] = axis(sx, x, src_w);

  for (uint64_t y = 0; y < dst_h; ++y) {
    const Axis ry = axis(sy, y, src_h);
    const float wy = ry.w;
    const float* row0 = src.data() + ry.i0 * src_w * 3;
    const float* row1 = src.data() + ry.i1 * src_w * 3;
    float* out = dst.data() + y * dst_w * 3;
    for (uint64_t x = 0; x < dst_w; ++x) {
      const Axis& cx = cols[x];
      const float wx = cx.w;
      for (uint64_t k = 0; k < 3; ++k) {
        const float p00 = row0[cx.i0 * 3 + k];
        const float p01 = row0[cx.i1 * 3 + k];
        const float p10 = row1[cx.i0 * 3 + k];
        const float p11 = row1[cx.i1 * 3 + k];
        out[x * 3 + k] =
            p11 * wx * wy + (((1.0f - wy) * ((1.0f - wx) * p00) + (1.0f - wy) * (p01 * wx)) +
                             ((1.0f - wx) * p10) * wy);
      }
    }
  }
}

EsrganPlan esrgan_plan(std::string_view model_name,
                       uint64_t tile,
                       uint64_t width,
                       uint64_t height,
                       uint64_t scale,
                       inference::Ep ep) {
  uint64_t t = tile;
  // Fast exports take a whole frame of up to 4K output as one tile.
  if ((model_name == "tessel-fast" || model_name == "nettra") && width % 2 == 0 &&
      height % 2 == 0 && width * height * scale * scale <= 8'294'400) {
    t = std::max(width, height);
  }
  EsrganPlan plan;
  plan.tile_w = even_tile(t, width);
  plan.tile_h = even_tile(t, height);
  plan.second_session = ep == 0 && (model_name == "tessel" || model_name == "sorvan");
  return plan;
}

Result<std::vector<OnnxBackend>> esrgan_backends(const std::string& model,
                                                 inference::Ep ep,
                                                 const EsrganPlan& plan) {
  const std::vector<inference::DimOverride> overrides{{"h", static_cast<int64_t>(plan.tile_h)},
                                                      {"w", static_cast<int64_t>(plan.tile_w)}};
  std::vector<OnnxBackend> sessions;
  auto first = OnnxBackend::load(model, ep, overrides);
  if (!first)
    return std::unexpected(first.error());
  sessions.push_back(std::move(*first));
  if (plan.second_session) {
    // The second session runs on the Neural Engine beside the first.
    auto second = OnnxBackend::load(model, 1, overrides);
    if (!second)
      return std::unexpected(second.error());
    sessions.push_back(std::move(*second));
  }
  return sessions;
}

Result<std::vector<float>> esrgan_process_frame_on(std::span<const float> frame,
                                                   uint64_t width,
                                                   uint64_t height,
                                                   const TileGrid& grid,
                                                   std::vector<OnnxBackend>& sessions) {
  std::vector<tile::InferOp> ops;
  ops.reserve(sessions.size());
  for (OnnxBackend& session : sessions) {
    ops.emplace_back([&session](const Tile& t, const tile::Buffer& in) {
      return session.infer_tile(in, t.w, t.h);
    });
  }
  return tile::process_tiled_on(frame, width, height, grid, std::move(ops));
}

Status run_upscale(const UpscaleConfig& c) {
  // Every frame allocates and frees the same large buffers: keep them for
  // reuse. Set before the probe's and the runtime's threads first allocate,
  // so that they share the one heap too.
  platform::keep_freed_memory();
  auto info = probe_input(c);
  if (!info)
    return std::unexpected(info.error());
  const uint64_t w = info->width, h = info->height;

  std::optional<EsrganPlan> plan;
  TileGrid grid;
  if (c.model_name && c.tile_w) {
    plan = esrgan_plan(*c.model_name, *c.tile_w, w, h, c.scale, c.ep);
    grid = TileGrid::from_tile_size(w, h, plan->tile_w, plan->tile_h, c.overlap, c.scale);
  } else if (c.tile_w && c.tile_h) {
    grid = TileGrid::from_tile_size(w, h, even_tile(*c.tile_w, w), even_tile(*c.tile_h, h),
                                    c.overlap, c.scale);
  } else if (c.max_area) {
    grid = TileGrid::create(w, h, c.scale, *c.max_area, c.overlap, c.div);
  } else {
    grid = TileGrid::whole(w, h, c.scale);
  }
  say(esrgan_start_line(w, h, info->r_frame_rate, grid));

  std::vector<OnnxBackend> sessions;
  if (plan) {
    auto loaded = esrgan_backends(c.model, c.ep, *plan);
    if (!loaded)
      return std::unexpected(loaded.error());
    sessions = std::move(*loaded);
  } else {
    // With a pixel budget the model keeps its own input size.
    std::vector<inference::DimOverride> overrides;
    if (!c.max_area) {
      overrides = {{"h", static_cast<int64_t>(grid.tile_h)},
                   {"w", static_cast<int64_t>(grid.tile_w)}};
    }
    auto loaded = OnnxBackend::load(c.model, c.ep, overrides);
    if (!loaded)
      return std::unexpected(loaded.error());
    sessions.push_back(std::move(*loaded));
  }

  // Declared after the sessions, so that on every early return the encoder
  // child goes first, then the decoder, then the sessions.
  auto io = open_video(c, *info);
  if (!io)
    return std::unexpected(io.error());

  const Clock::time_point start = Clock::now();
  auto frames = frame_loop(
      c.max_frames, io->decoder, io->encoder,
      [&](const std::vector<float>& in) {
        return esrgan_process_frame_on(in, w, h, grid, sessions);
      },
      [&](uint64_t n) {
        say(esrgan_progress_line(n, progress_figures(n, info->frames, seconds_since(start)),
                                 ms_per_tile(sessions.front())));
      });
  if (!frames)
    return std::unexpected(frames.error());
  if (auto st = std::move(io->encoder).finish(); !st)
    return st;

  const double secs = seconds_since(start);
  uint64_t tiles_total = 0;
  for (const OnnxBackend& s : sessions)
    tiles_total += s.infer_tiles();
  say(esrgan_summary(*frames, secs, ms_per_tile(sessions.front()), tiles_total, c.output));
  return {};
}

std::vector<float> fgnet_tile_input(const Tile& t,
                                    std::span<const float> current,
                                    std::span<const float> prev_lr,
                                    std::span<const float> prev_hr,
                                    uint64_t width,
                                    uint64_t height,
                                    uint64_t scale,
                                    uint64_t tile) {
  const uint64_t s = scale, T = tile, C = 6 + 3 * s * s, ow = s * width;
  if (current.size() != width * height * 3 || prev_lr.size() != current.size() ||
      prev_hr.size() != current.size() * s * s) {
    die("fgnet_tile_input: frame buffers do not match the frame size");
  }
  std::vector<float> in(T * T * C);
  const uint64_t last_row = t.h == 0 ? 0 : t.h - 1;
  const uint64_t last_col = t.w == 0 ? 0 : t.w - 1;
  for (uint64_t r = 0; r < T; ++r) {
    const uint64_t gy = std::min(t.y + std::min(r, last_row), height - 1);
    for (uint64_t c = 0; c < T; ++c) {
      const uint64_t gx = std::min(t.x + std::min(c, last_col), width - 1);
      float* o = in.data() + (r * T + c) * C;
      const uint64_t lr = (gy * width + gx) * 3;
      for (uint64_t k = 0; k < 3; ++k) {
        o[k] = current[lr + k];
        o[3 + k] = prev_lr[lr + k];
      }
      for (uint64_t dy = 0; dy < s; ++dy) {
        const float* hr = prev_hr.data() + ((s * gy + dy) * ow + s * gx) * 3;
        float* dst = o + 6 + 3 * dy * s;
        std::copy(hr, hr + 3 * s, dst);
      }
    }
  }
  return in;
}

Result<std::vector<float>> fgnet_process_frame(std::span<const float> current,
                                               std::span<const float> prev_lr,
                                               std::span<const float> prev_hr,
                                               uint64_t width,
                                               uint64_t height,
                                               uint64_t scale,
                                               uint64_t tile,
                                               const TileGrid& grid,
                                               OnnxBackend& session) {
  const uint64_t s = scale, T = tile, C = 6 + 3 * s * s;
  const uint64_t ow = s * width, oh = s * height;
  std::vector<float> sums(ow * oh * 3);
  std::vector<float> weights(ow * oh);
  const std::vector<Tile> tiles = grid.tiles();
  const uint64_t ramp_x = ramp_len(grid.cols, grid.step_x, s);
  const uint64_t ramp_y = ramp_len(grid.rows, grid.step_y, s);
  const uint64_t out_len = s * T * s * T * 3;

  auto build = [&](const Tile& t) {
    return fgnet_tile_input(t, current, prev_lr, prev_hr, width, height, s, T);
  };
  std::vector<tile::InferOp> ops;
  ops.emplace_back(
      [&session, T, C, s, out_len](const Tile&, const tile::Buffer& in) -> Result<tile::Buffer> {
        auto out = session.infer_fgnet_tile(in, T, T, C);
        if (out && out->size() != out_len) {
          return fail(text::format(
              "model output has %llu values; a %llux%llu tile at %llux needs %llu (1 x %llu x %llu "
              "x 3)",
              ull(out->size()), ull(T), ull(T), ull(s), ull(out_len), ull(s * T), ull(s * T)));
        }
        return out;
      });
  auto consume = [&](const Tile& t, const tile::Buffer& out) {
    const uint64_t wv = s * t.w, hv = s * t.h;
    std::vector<float> wx(wv);
    for (uint64_t c = 0; c < wv; ++c)
      wx[c] = ramp_weight(c, wv, ramp_x, t.col != 0, t.col + 1 < grid.cols);
    for (uint64_t r = 0; r < hv; ++r) {
      const uint64_t py = s * t.y + r;
      if (py >= oh)
        break;
      const float wy = ramp_weight(r, hv, ramp_y, t.row != 0, t.row + 1 < grid.rows);
      const float* src = out.data() + r * s * T * 3;
      for (uint64_t c = 0; c < wv; ++c) {
        const uint64_t px = s * t.x + c;
        if (px >= ow)
          break;
        const float wgt = wy * wx[c];
        const uint64_t p = py * ow + px;
        for (uint64_t k = 0; k < 3; ++k)
          sums[3 * p + k] += wgt * src[c * 3 + k];
        weights[p] += wgt;
      }
    }
  };
  if (auto st = tile::overlapped(tiles, build, std::move(ops), consume); !st)
    return std::unexpected(st.error());
  return tile::normalize(sums, weights);
}

Status run_fgnet_upscale(const UpscaleConfig& c) {
  platform::keep_freed_memory();  // as in run_upscale
  auto info = probe_input(c);
  if (!info)
    return std::unexpected(info.error());
  const uint64_t w = info->width, h = info->height, s = c.scale;
  const uint64_t t = c.tile_w.value_or(288);
  // The padded tile is used at its full size whatever the frame's size, so
  // a mistyped --tile would otherwise end in a failed allocation.
  uint64_t values = 0;
  if (t > 65536 || __builtin_mul_overflow(t * t, 6 + 3 * s * s, &values) ||
      values > (uint64_t{1} << 30)) {
    return fail(
        text::format("tile %llu is too large: one model input of %llux%llu pixels with %llu "
                     "channels would not fit in memory",
                     ull(t), ull(t), ull(t), ull(6 + 3 * s * s)));
  }
  const TileGrid grid = TileGrid::from_tile_size(w, h, t, t, c.overlap, s);
  say(fgnet_start_line(w, h, grid));

  auto session = OnnxBackend::load(c.model, c.ep, {});
  if (!session)
    return std::unexpected(session.error());
  auto io = open_video(c, *info);
  if (!io)
    return std::unexpected(io.error());

  // Carried between frames, allocated once and overwritten in place.
  std::vector<float> prev_lr(w * h * 3);
  std::vector<float> prev_hr(w * h * 3 * s * s);
  bool first = true;

  const Clock::time_point start = Clock::now();
  auto frames = frame_loop(
      c.max_frames, io->decoder, io->encoder,
      [&](const std::vector<float>& current) -> Result<std::vector<float>> {
        if (first) {
          // The first frame is its own predecessor.
          std::copy(current.begin(), current.end(), prev_lr.begin());
          bilinear_resize_hwc(current, w, h, prev_hr, s * w, s * h);
          first = false;
        }
        auto out = fgnet_process_frame(current, prev_lr, prev_hr, w, h, s, t, grid, *session);
        if (!out)
          return out;
        std::copy(current.begin(), current.end(), prev_lr.begin());
        std::copy(out->begin(), out->end(), prev_hr.begin());
        return out;
      },
      [&](uint64_t n) {
        say(fgnet_progress_line(n, progress_figures(n, info->frames, seconds_since(start)),
                                ms_per_tile(*session)));
      });
  if (!frames)
    return std::unexpected(frames.error());
  if (auto st = std::move(io->encoder).finish(); !st)
    return st;

  const double secs = seconds_since(start);
  say(fgnet_summary(*frames, secs, ms_per_tile(*session), session->infer_tiles(), c.output));
  return {};
}

Status check_output_is_not_input(const std::string& input_arg, const std::string& output_arg) {
  // ffmpeg opens "file:<path>" as <path>: compare the files it will open.
  auto opened = [](const std::string& p) { return p.starts_with("file:") ? p.substr(5) : p; };
  const std::string input = opened(input_arg), output = opened(output_arg);
  bool same = false;
  struct stat in_st {};
  struct stat out_st {};
  if (::stat(input.c_str(), &in_st) == 0 && ::stat(output.c_str(), &out_st) == 0)
    same = in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
  if (!same) {
    // Also when the files cannot be examined: the same path spelled twice.
    auto normal = [](const std::string& p) {
      std::error_code ec;
      fs::path abs = fs::absolute(p, ec);
      if (ec)
        abs = p;
      fs::path canon = fs::weakly_canonical(abs, ec);
      return (ec ? abs : canon).lexically_normal();
    };
    same = normal(input) == normal(output);
  }
  if (same) {
    return fail("the output " + output_arg +
                " is the input file itself; writing it would destroy the input (choose another "
                "output path)");
  }
  return {};
}

Progress progress_figures(uint64_t n, uint64_t total, double elapsed) {
  Progress p;
  p.fps = static_cast<double>(n) / elapsed;
  p.ms_per_frame = elapsed * 1000.0 / static_cast<double>(n);
  if (total > 0) {
    const uint64_t left = n > total ? 0 : total - n;
    p.eta_s = static_cast<double>(left) / p.fps;
    p.total_text = "/" + std::to_string(total);
  }
  return p;
}

std::string esrgan_start_line(uint64_t width,
                              uint64_t height,
                              const std::string& rate,
                              const TileGrid& grid) {
  const uint64_t s = grid.scale;
  return text::format(
      "input %llux%llu @ %s → %llux%llu (%llux), tiles: %llux%llu = %llu (%llu cols × %llu rows, "
      "overlap %.0fx%.0f)\n",
      ull(width), ull(height), rate.c_str(), ull(width * s), ull(height * s), ull(s),
      ull(grid.tile_w), ull(grid.tile_h), ull(grid.cols * grid.rows), ull(grid.cols),
      ull(grid.rows), double(grid.step_x), double(grid.step_y));
}

std::string esrgan_progress_line(uint64_t n, const Progress& p, double ms_per_tile) {
  return text::format("frame %llu%s: %.1f fps, %.0f ms/frame, infer %.0f ms/tile avg, ETA %.0fs\n",
                      ull(n), p.total_text.c_str(), p.fps, p.ms_per_frame, ms_per_tile, p.eta_s);
}

std::string esrgan_summary(uint64_t n,
                           double secs,
                           double ms_per_tile,
                           uint64_t tiles_total,
                           const std::string& output) {
  return text::format(
      "\ndone: %llu frames in %.1fs = %.2f fps\ninference: %.1f ms/tile avg on the first session "
      "(%llu tiles total)\noutput: %s\n\n",
      ull(n), secs, static_cast<double>(n) / secs, ms_per_tile, ull(tiles_total), output.c_str());
}

std::string fgnet_start_line(uint64_t width, uint64_t height, const TileGrid& grid) {
  const uint64_t s = grid.scale;
  return text::format("fgnet: %llux%llu → %llux%llu (%llux), tile %llux%llu, %llu tiles\n",
                      ull(width), ull(height), ull(width * s), ull(height * s), ull(s),
                      ull(grid.tile_w), ull(grid.tile_h), ull(grid.cols * grid.rows));
}

std::string fgnet_progress_line(uint64_t n, const Progress& p, double ms_per_tile) {
  return text::format("frame %llu%s: %.1f fps, infer %.0f ms/tile, ETA %.0fs\n", ull(n),
                      p.total_text.c_str(), p.fps, ms_per_tile, p.eta_s);
}

std::string fgnet_summary(uint64_t n,
                          double secs,
                          double ms_per_tile,
                          uint64_t tiles,
                          const std::string& output) {
  return text::format(
      "\ndone: %llu frames in %.1fs = %.2f fps\ninference: %.1f ms/tile avg (%llu tiles)\noutput: "
      "%s\n\n",
      ull(n), secs, static_cast<double>(n) / secs, ms_per_tile, ull(tiles), output.c_str());
}

}  // namespace lmr::pipeline
