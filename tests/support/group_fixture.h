// The block-group builders: the stream record header, the raw inflate of a
// thread stream, data blocks made outside any sector, and the small device
// of tests/data/group (two "cl" sectors at CNOC addresses (7, 3) and (4, 1),
// one frame per 2D row, three rows).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "generator_fixture.h"
#include "varno_block_group.h"
#include "varno_dblock.h"
#include "varno_eblock.h"
#include "varno_frame.h"
#include "varno_gen.h"
#include "vold.h"

inline const std::string kGroupDir = std::string(VARNO_TEST_DATA_DIR) + "/group";

// A stream record header: [ch, frtype, ulen(3), s4 | thr << 4, chext, bank].
inline BYTES hdr(u32 ch, u32 ft, u32 s4, u32 thr, u32 len, u32 chext = 0) {
  return {static_cast<u8>(ch),       static_cast<u8>(ft),        static_cast<u8>(len),
          static_cast<u8>(len >> 8), static_cast<u8>(len >> 16), static_cast<u8>(s4 | thr << 4),
          static_cast<u8>(chext),    0};
}

// A data record of a thread stream: the header and the frame, zeros up to
// 8 bytes; or the same of frame f of a block.
inline BYTES record(const BYTES& frame, u32 ch, u32 ft, u32 thr, u32 chext = 0) {
  BYTES out = hdr(ch, ft, 0, thr, static_cast<u32>((frame.size() + 3) / 4), chext);
  put(out, frame);
  out.resize((out.size() + 7) / 8 * 8, 0);
  return out;
}
inline BYTES record(VARNO_IBLOCK* block, u32 f, u32 ch, u32 ft, u32 thr, u32 chext = 0) {
  return record(frame(block, f), ch, ft, thr, chext);
}

// Raw inflate of a thread stream with the device's 8 KB window: a stream
// that reaches further back fails here. The bytes after the deflate data go
// to tail when it is given.
inline BYTES inflate_raw(const u8* data, size_t size, BYTES* tail = nullptr) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, -13), Z_OK);
  BYTES out(1 << 20);
  zs.next_in = const_cast<u8*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  if (tail != nullptr) tail->assign(data + size - zs.avail_in, data + size);
  inflateEnd(&zs);
  return out;
}
inline BYTES inflate_raw(const BYTES& in, BYTES* tail = nullptr) {
  return inflate_raw(in.data(), in.size(), tail);
}

// A data block outside any sector whose frames hold the given bytes.
inline std::unique_ptr<VARNO_DBLOCK> block_from(VARNO_GEN* gen, u32 type,
                                                const std::vector<BYTES>& frames) {
  auto block = std::make_unique<VARNO_DBLOCK>(type, gen);
  block->clear_frames();  // as a build leaves it, also with no frames
  add_frames(block.get(), frames);
  return block;
}

// The same with frames of the given sizes whose bytes count up from seed;
// each next frame starts step higher.
inline std::unique_ptr<VARNO_DBLOCK> block_of(VARNO_GEN* gen, u32 type,
                                              const std::vector<u32>& sizes, u8 seed = 1,
                                              u8 step = 0x20) {
  std::vector<BYTES> frames;
  for (u32 size : sizes) {
    BYTES bytes(size);
    for (u32 i = 0; i < size; ++i) bytes[i] = static_cast<u8>(seed + i);
    frames.push_back(bytes);
    seed = static_cast<u8>(seed + step);
  }
  return block_from(gen, type, frames);
}

// The generator of the device of tests/data/group with its model built.
class GROUP_GEN {
 public:
  // The sector files are read from beside the family file.
  void load_model(const std::string& device = kGroupDir + "/group_device.ddb",
                  const std::string& family = kGroupDir + "/group_family.ddb") {
    m_top = new_generator(family, device);
    ASSERT_EQ(m_top->process_pcfs(false, false, false, nullptr, 0), VARNO_PCF_OK)
        << VOLD_DATA_SERVER::last_error();
  }
  VARNO_GEN* gen() { return m_top.get(); }
  VARNO_MGR_PARAM& param() { return *m_top->get_mgr_param(); }

 protected:
  std::unique_ptr<VARNO_GEN> m_top;
};

// The same as a test fixture.
class GroupGen : public ::testing::Test, public GROUP_GEN {
 protected:
  void SetUp() override { load_model(); }
};

// The device of tests/data/group with both sectors' CRAM framed bare (no
// headers, no S4) from two 32-byte images, and its sectors' blocks.
class GROUP_DEVICE : public GROUP_GEN {
 public:
  GROUP_DEVICE(BYTES image0, BYTES image1)
      : m_image0(std::move(image0)), m_image1(std::move(image1)) {}

  void load(const std::string& device = kGroupDir + "/group_device.ddb",
            const std::string& family = kGroupDir + "/group_family.ddb") {
    ASSERT_NO_FATAL_FAILURE(load_model(device, family));
    for (u32 x = 0; x < 2; ++x) {
      VARNO_MGR_PARAM* p = sector(x)->get_mgr_param();
      p->skip_headers = 1;
      p->s4_variant = 0;
      cram(x)->set_data(VARNO_BLOCK_DATA_CRAM, x == 0 ? m_image0.data() : m_image1.data(), 256,
                        nullptr);
    }
    ASSERT_TRUE(m_top->do_all_blocks());
    param().s4_variant = 0;
  }

  VARNO_IMBLOCK* meta(u32 x) { return m_top->get_meta_block("SECTOR_ARRAY", x, 0); }
  VARNO_GEN* sector(u32 x) { return dynamic_cast<VARNO_GEN*>(meta(x)->generator()); }
  VARNO_DBLOCK* cram(u32 x) {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x)->get_block("CRAM", false));
  }
  VARNO_DBLOCK* eram(u32 x) {
    return dynamic_cast<VARNO_DBLOCK*>(sector(x)->get_block("ERAM", false));
  }
  std::unique_ptr<VARNO_MBLOCK_GROUP> group() {
    return std::make_unique<VARNO_MBLOCK_GROUP>(gen());
  }
  // A group of type "CRAM" or "ERAM" with both sectors on thread 0, and
  // their blocks of that type too when with_blocks.
  std::unique_ptr<VARNO_MBLOCK_GROUP> both_sectors(const std::string& type,
                                                   bool with_blocks = false) {
    auto g = group();
    g->set_group_type(type, "");
    for (u32 x = 0; x < 2; ++x) g->add_mblock(meta(x), 0);
    if (!with_blocks) return g;
    for (u32 x = 0; x < 2; ++x) g->add_dblock(type == "CRAM" ? cram(x) : eram(x), 0);
    return g;
  }

 private:
  BYTES m_image0;
  BYTES m_image1;
};
