// The host calls of the blocks, the sectors and the block groups against
// each class of bad input, as docs/host.md's table "Bad input, call by call"
// gives them: every call meets a refusal with its text or its documented
// result, never a crash or a silent loss.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "generator_fixture.h"
#include "group_fixture.h"
#include "host_calls.h"
#include "varno_eblock.h"
#include "varno_test.h"

namespace {

// The block-group device of tests/data/group, built: two sectors of CRAM
// design data, the top generator's header option blocks and its
// sector-array block.
class HostCalls : public ::testing::Test, public GROUP_DEVICE {
 protected:
  HostCalls() : GROUP_DEVICE(BYTES(32, 0x5A), BYTES(32, 0xA5)) {}
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(load()); }

  VARNO_IBLOCK* option() { return gen()->get_block("CNOC_HEADER", false); }
  VARNO_IBLOCK* array() { return gen()->get_block("SECTOR_ARRAY", false); }
  VARNO_IBLOCK* data() { return cram(0); }
  // A CRAM group over both sectors, one a thread; collected when asked.
  std::unique_ptr<VARNO_IMBLOCK_GROUP> cram_group(bool collect, bool compressed = true) {
    param().group_compressed = compressed ? 1 : 0;
    std::unique_ptr<VARNO_IMBLOCK_GROUP> g(gen()->create_group());
    g->set_group_type("CRAM", "");
    g->add_mblock(meta(0), 0);
    g->add_mblock(meta(1), 1);
    if (collect) g->collect_data(false);
    return g;
  }

  BYTES m_buffer = BYTES(1 << 16, 0);
  u8* buffer() { return m_buffer.data(); }
};

TEST_F(HostCalls, NullPointers) {
  auto g = cram_group(true);
  const u32 data_size = g->get_group_full_size() - g->get_group_descriptor_size();
  expect_host_calls({
      {"write_dyn_value", [&] { option()->write_dyn_value("CNOC_HEADER", nullptr, 0, 8, nullptr); },
       "data != nullptr"},
      {"write_dyn_value into the block's image", [&] {
         const u8 value = 0x7E;
         EXPECT_EQ(option()->write_dyn_value("CNOC_HEADER", &value, 0, 8, nullptr), 8u);
         u8 out = 0;
         EXPECT_EQ(option()->read_dyn_value("CNOC_HEADER", &out, 0, 8), 8u);
         EXPECT_EQ(out, 0x7E);
       }},
      {"read_dyn_value", [&] { option()->read_dyn_value("CNOC_HEADER", nullptr, 0, 8); }, "out != nullptr"},
      {"write_option_bits",
       [&] { option()->write_option_bits("CNOC_HDR_X", "CNOC_HEADER", nullptr, 8, nullptr); },
       "data != nullptr"},
      {"read_option_bits", [&] { option()->read_option_bits("CNOC_HDR_X", "CNOC_HEADER", nullptr, 8); },
       "out != nullptr"},
      {"set_option_shadow_mask", [&] { option()->set_option_shadow_mask("CNOC_HEADER", nullptr, 8); },
       "mask != nullptr"},
      {"set_data", [&] { data()->set_data(VARNO_BLOCK_DATA_CRAM, nullptr, 256, nullptr); },
       "set_data on block CRAM of sector (0, 0): null data of 256 bits"},
      {"get_frame_data", [&] { data()->get_frame_data(0, nullptr); }, "out != nullptr"},
      {"read_block_data of a data block", [&] { data()->read_block_data(nullptr); }, "out != nullptr"},
      {"read_block_data of an option block", [&] { option()->read_block_data(nullptr); }, "out != nullptr"},
      {"read_block_data of a sector-array block", [&] { array()->read_block_data(nullptr); }},
      {"dump to a null stream", [&] { data()->dump(static_cast<std::ofstream*>(nullptr), VARNO_OUTPUT_FORMAT_DAT); }},
      {"add_mblock", [&] { cram_group(false)->add_mblock(nullptr, 0); }, "b != nullptr"},
      {"add_dblock", [&] { cram_group(false)->add_dblock(nullptr, 0); }, "b != nullptr"},
      {"get_group_data", [&] { g->get_group_data(nullptr, data_size); }, "out != nullptr"},
      {"get_thread_data", [&] { g->get_thread_data(nullptr, g->get_thread_size(0), 0); }, "out != nullptr"},
      {"get_group_descriptor_data",
       [&] { g->get_group_descriptor_data(nullptr, g->get_group_descriptor_size()); }, "out != nullptr"},
      // No block of the thread has a 2D engine: nothing to write.
      {"get_2d_setup_data", [&] { EXPECT_EQ(g->get_2d_setup_data(nullptr, 0), 0u); }},
      // No list, as with a count of 0; the block is then changed since its
      // build (see SecondCall).
      {"set_custom_frame_sizes", [&] { data()->set_custom_frame_sizes(nullptr, 5); }},
  });
}

TEST_F(HostCalls, ZeroLengths) {
  auto g = cram_group(true);
  expect_host_calls({
      {"write_dyn_value", [&] { EXPECT_EQ(option()->write_dyn_value("CNOC_HEADER", buffer(), 0, 0, nullptr), 0u); }},
      {"read_dyn_value", [&] { EXPECT_EQ(option()->read_dyn_value("CNOC_HEADER", buffer(), 0, 0), 0u); }},
      {"set_option_shadow_mask", [&] { option()->set_option_shadow_mask("CNOC_HEADER", buffer(), 0); },
       "bit_size > 0"},
      {"get_group_data", [&] { g->get_group_data(buffer(), 0); }, "bytes >= group_data_size"},
      {"get_thread_data", [&] { g->get_thread_data(nullptr, 0, 0); }},
      {"get_group_descriptor_data", [&] { g->get_group_descriptor_data(nullptr, 0); }},
      // A buffer of 0 bits: its length is not checked, and the manager takes
      // the whole image from it.
      {"set_data with a buffer",
       [&] {
         const BYTES frames = block_bytes(data());
         static BYTES image(32, 0x5A);  // sector 0's image
         data()->set_data(VARNO_BLOCK_DATA_CRAM, image.data(), 0, nullptr);
         ASSERT_TRUE(gen()->do_all_blocks());
         EXPECT_EQ(block_bytes(data()), frames);
         cram_group(true);
       }},
      // No buffer and 0 bits is no data: the block then builds no frames, and
      // a group refuses it.
      {"set_data without a buffer",
       [&] {
         data()->set_data(VARNO_BLOCK_DATA_CRAM, nullptr, 0, nullptr);
         ASSERT_TRUE(gen()->do_all_blocks());
         EXPECT_EQ(data()->get_number_of_frames(), 0u);
         cram_group(true);
       },
       "Block group collects the CRAM block of sector (0, 0), which built no frames: it was given no design "
       "data"},
      {"set_custom_frame_sizes", [&] { data()->set_custom_frame_sizes(reinterpret_cast<u32*>(buffer()), 0); }},
  });
}

TEST_F(HostCalls, PastTheEnd) {
  auto g = cram_group(true);
  const u32 frames = data()->get_number_of_frames();
  const u32 last_size = data()->get_frame_size(frames - 1);
  u8 byte = 0;
  expect_host_calls({
      {"set_data", [&] { data()->set_data(VARNO_BLOCK_DATA_MAX, buffer(), 8, nullptr); },
       "slot < VARNO_BLOCK_DATA_MAX"},
      {"write_dyn_value past the field",
       [&] { EXPECT_EQ(option()->write_dyn_value("CNOC_HEADER", buffer(), 32, 8, nullptr), 0u); }},
      {"read_dyn_value past the field",
       [&] { EXPECT_EQ(option()->read_dyn_value("CNOC_HEADER", buffer(), 32, 8), 0u); }},
      {"write_option_bits wider than the option",
       [&] { EXPECT_EQ(option()->write_option_bits("CNOC_HDR_X", "CNOC_HEADER", buffer(), 9, nullptr), 5u); }},
      {"frames past the end", [&] {
         EXPECT_EQ(data()->get_frame_size(frames), 0u);
         EXPECT_EQ(data()->get_frame_data(frames, buffer()), 0u);
         EXPECT_EQ(data()->get_frame_data_ptr(frames), nullptr);
         EXPECT_FALSE(data()->get_frame_single_byte(frames, 0, byte));
         EXPECT_FALSE(data()->get_frame_single_byte(frames - 1, last_size, byte));
         EXPECT_FALSE(data()->update_frame_data(frames, 0, 1));
         EXPECT_FALSE(data()->update_frame_data(frames - 1, last_size, 1));
       }},
      {"get_param_value", [&] { data()->get_param_value("CRAM_FRAME_COUNT", 1u); },
       "Parameter CRAM_FRAME_COUNT (5) index (1) out of range (1)"},
      {"get_arg_value", [&] { data()->get_arg_value("RAW_TO_IMG_MAP", 1, 0); },
       "Invalid PCF argument access (RAW_TO_IMG_MAP): Index 1 (max size 1), Offset 0 (max size 64)"},
      {"get_arg_value of the sector-array block", [&] { array()->get_arg_value("BROW_SIZE", 1, 0); },
       "index < uint_arg_list.size() && offset < arg_width"},
      {"get_meta_block", [&] { EXPECT_EQ(gen()->get_meta_block("SECTOR_ARRAY", 2, 0), nullptr); }},
      {"get_vold_mapped_name", [&] { EXPECT_EQ(VARNO_EBLOCK::get_vold_mapped_name("sector_", 1000), ""); }},
      {"do_partial_block past the frames", [&] { EXPECT_FALSE(gen()->do_partial_block("CRAM", 0, 99)); }},
      {"group thread", [&] { g->get_thread_size(2); }, "thr_index < QV_MAX_DC_THREADS"},
      {"add_mblock thread", [&] { cram_group(false)->add_mblock(meta(0), 2); }, "thr_index < QV_MAX_DC_THREADS"},
      {"group block", [&] { EXPECT_EQ(g->block(1, 0), nullptr); }},
      {"five sectors a thread", [&] {
         auto h = cram_group(false);
         for (int i = 0; i < 4; ++i) h->add_mblock(meta(0), 0);
         h->collect_data(false);
       }, "blk_count can't be greater than array boundary"},
  });
}

TEST_F(HostCalls, BeforeWhatItNeeds) {
  auto g = cram_group(false);
  std::unique_ptr<VARNO_GEN> unloaded = new_generator();
  expect_host_calls({
      {"get_group_full_size", [&] { g->get_group_full_size(); }, "Block group get_group_full_size() called before collect_data()"},
      {"get_group_descriptor_size", [&] { g->get_group_descriptor_size(); },
       "Block group get_group_descriptor_size() called before collect_data()"},
      {"get_thread_size", [&] { g->get_thread_size(0); }, "Block group get_thread_size() called before collect_data()"},
      {"is_thread_active", [&] { g->is_thread_active(0); }, "Block group is_thread_active() called before collect_data()"},
      {"get_comp_ratio", [&] { g->get_comp_ratio(0); }, "Block group get_comp_ratio() called before collect_data()"},
      {"get_group_data", [&] { g->get_group_data(buffer(), 4096); }, "Block group get_group_data() called before collect_data()"},
      {"get_thread_data", [&] { g->get_thread_data(buffer(), 0, 0); }, "Block group get_thread_data() called before collect_data()"},
      {"get_group_descriptor_data", [&] { g->get_group_descriptor_data(buffer(), 0); },
       "Block group get_group_descriptor_data() called before collect_data()"},
      {"get_2d_setup_size", [&] { g->get_2d_setup_size(0); }, "Block group get_2d_setup_size() called before collect_data()"},
      {"get_2d_setup_data", [&] { g->get_2d_setup_data(buffer(), 0); }, "Block group get_2d_setup_data() called before collect_data()"},
      {"get_meta_block before process_pcfs", [&] { unloaded->get_meta_block("SECTOR_ARRAY", 0, 0); },
       "meta_block != nullptr"},
      {"create_group before process_pcfs", [&] { delete unloaded->create_group(); }, "eblock != nullptr"},
      {"do_all_blocks before process_pcfs", [&] { EXPECT_TRUE(unloaded->do_all_blocks()); }},
      // Frames the 2D merge rewrote, whose tables clear_2d_data released.
      {"collect_data after clear_2d_data", [&] {
         cram(1)->mark_2d_tables_released();
         cram_group(true);
       }, "Block group collects the CRAM block of sector (1, 0) after clear_2d_data released its 2D tables"},
  });
  // A generator loaded, not built: every read-out of a block waits for the
  // build.
  GROUP_GEN fresh;
  ASSERT_NO_FATAL_FAILURE(fresh.load_model());
  VARNO_GEN* sector = dynamic_cast<VARNO_GEN*>(fresh.gen()->get_meta_block("SECTOR_ARRAY", 1, 0)->generator());
  VARNO_IBLOCK* cram = sector->get_block("CRAM", false);
  VARNO_IBLOCK* header = fresh.gen()->get_block("CNOC_HEADER", false);
  const std::string unbuilt = "Block CRAM of sector (1, 0) read before do_all_blocks built it";
  u8 byte = 0;
  expect_host_calls({
      {"get_number_of_frames", [&] { cram->get_number_of_frames(); }, unbuilt.c_str()},
      {"get_frame_data", [&] { cram->get_frame_data(0, buffer()); }, unbuilt.c_str()},
      {"get_frame_data_ptr", [&] { cram->get_frame_data_ptr(0); }, unbuilt.c_str()},
      {"get_frame_single_byte", [&] { cram->get_frame_single_byte(0, 0, byte); }, unbuilt.c_str()},
      {"read_block_data", [&] { cram->read_block_data(buffer()); }, unbuilt.c_str()},
      {"read_block_data of an option block", [&] { header->read_block_data(buffer()); },
       "Block CNOC_HEADER read before do_all_blocks built it"},
      {"sizes", [&] {
         EXPECT_EQ(cram->get_block_size(), 0u);
         EXPECT_EQ(cram->get_frame_size(0), 0u);
         EXPECT_EQ(header->get_block_size(), 4u);
       }},
      {"update_frame_data", [&] { EXPECT_FALSE(cram->update_frame_data(0, 0, 1)); }},
      {"text dump", [&] { fresh.gen()->write_to_file(::testing::TempDir() + "/never.txt", VARNO_OUTPUT_FORMAT_DAT); },
       "Text dump before do_all_blocks built any block"},
      // A group takes its own generator's sectors and blocks only.
      {"add_mblock of another generator's sector",
       [&] { cram_group(false)->add_mblock(fresh.gen()->get_meta_block("SECTOR_ARRAY", 1, 0), 0); },
       "Block group add_mblock() of a sector of another generator: a group takes the sectors of the generator "
       "that created it"},
      {"add_dblock of another generator's block", [&] { cram_group(false)->add_dblock(cram, 0); },
       "Block group add_dblock() of the CRAM block of sector (1, 0) of another generator: a group takes the "
       "blocks of the generator that created it and of its sectors"},
  });

  // A first build that fails, its internal error caught: refused until a
  // build succeeds.
  sector->get_mgr_param()->s4_variant = 0;
  cram->set_data(VARNO_BLOCK_DATA_CRAM, buffer(), 32, nullptr);  // bytes, not bits
  EXPECT_INTERNAL_ERROR(fresh.gen()->do_all_blocks(), "Mismatch in user data size:user_cram_size 32 != 256: cram_pcf_size");
  const std::string failed = "its build failed";
  std::unique_ptr<VARNO_IMBLOCK_GROUP> group(fresh.gen()->create_group());
  group->set_group_type("CRAM", "");
  group->add_mblock(fresh.gen()->get_meta_block("SECTOR_ARRAY", 1, 0), 0);
  expect_host_calls({
      {"get_number_of_frames", [&] { cram->get_number_of_frames(); }, "Block CRAM of sector (1, 0) read before a rebuild: " + failed},
      {"do_partial_block", [&] { EXPECT_FALSE(sector->do_partial_block("CRAM", 0, 0)); }},
      {"text dump", [&] { sector->write_to_file(::testing::TempDir() + "/failed.txt", VARNO_OUTPUT_FORMAT_DAT); },
       "Text dump before a rebuild of block CRAM of sector (1, 0): " + failed},
      {"collect_data", [&] { group->collect_data(false); },
       "Block group collects the CRAM block of sector (1, 0) before a rebuild: " + failed},
  });
  cram->set_data(VARNO_BLOCK_DATA_CRAM, buffer(), 256, nullptr);
  ASSERT_TRUE(fresh.gen()->do_all_blocks());
  EXPECT_EQ(cram->get_number_of_frames(), 3u);
}

TEST_F(HostCalls, SecondCall) {
  const BYTES other(32, 0x3C);
  const BYTES before = block_bytes(data());
  expect_host_calls({
      {"collect_data", [&] { cram_group(true)->collect_data(false); },
       "Block group collect_data() called more than once"},
      {"a change of a collected group", [&] { cram_group(true)->add_mblock(meta(0), 0); },
       "Block group add_mblock() called after collect_data()"},
      {"add_dblock after collect_data", [&] { cram_group(true)->add_dblock(data(), 0); },
       "Block group add_dblock() called after collect_data()"},
      {"set_group_type after collect_data", [&] { cram_group(true)->set_group_type("ERAM", ""); },
       "Block group set_group_type() called after collect_data()"},
      {"enable_interleaving after collect_data", [&] { cram_group(true)->enable_interleaving(true); },
       "Block group enable_interleaving() called after collect_data()"},
      {"clear_group after collect_data", [&] { cram_group(true)->clear_group(); },
       "Block group clear_group() called after collect_data()"},
      {"set_sector_frame_range after collect_data",
       [&] { cram_group(true)->set_sector_frame_range(0, 0, 0, 0, 0, "CRAM", false); },
       "Block group set_sector_frame_range() called after collect_data()"},
      // The first mask of a field stays.
      {"set_option_shadow_mask", [&] {
         const BYTES ones(4, 0xFF), none(4, 0);
         option()->set_option_shadow_mask("CNOC_HEADER", ones.data(), 32);
         option()->set_option_shadow_mask("CNOC_HEADER", none.data(), 32);
       }},
  });
  // A second set_data on a built block: its frames are of the old data until
  // a rebuild, which makes them of the new.
  const std::string changed =
      "Block CRAM of sector (0, 0) read before a rebuild: its design data came after do_all_blocks built it";
  for (const std::function<void()>& change : std::vector<std::function<void()>>{
           [&] { data()->set_data(VARNO_BLOCK_DATA_CRAM, const_cast<u8*>(other.data()), 256, nullptr); },
           [&] { data()->set_custom_frame_sizes(nullptr, 0); },
           [&] { data()->set_programming_seq_vdata(nullptr); },
           [&] { data()->set_random_filler(7); },
           [&] { sector(0)->adjust_num_frames("CRAM", 2); }}) {
    ASSERT_TRUE(gen()->do_all_blocks());
    change();
    EXPECT_INTERNAL_ERROR(data()->get_number_of_frames(), changed);
    EXPECT_INTERNAL_ERROR(cram_group(true),
                          "Block group collects the CRAM block of sector (0, 0) before a rebuild: its design data "
                          "came after do_all_blocks built it");
  }
  ASSERT_TRUE(gen()->do_all_blocks());
  EXPECT_NE(block_bytes(data()), before);
  // A group collected before holds the old frames: its read-outs refuse,
  // rebuilt or not, and so they do once a frame was patched.
  auto g = cram_group(true);
  data()->set_data(VARNO_BLOCK_DATA_CRAM, const_cast<u8*>(other.data()), 256, nullptr);
  ASSERT_TRUE(gen()->do_all_blocks());
  EXPECT_INTERNAL_ERROR(g->get_group_full_size(),
                        "Block group get_group_full_size() called after the CRAM block of sector (0, 0) was given "
                        "design data since collect_data()");
  // What a group hands out is what its blocks hold, compared: frames
  // rebuilt from a buffer changed in place, patched or written through
  // their pointer are refused, compressed or not; put back, or rebuilt the
  // same, they are taken with the same bytes.
  u8* design = cram(0)->get_user_data(VARNO_BLOCK_DATA_CRAM);
  const auto flip_design = [&] { design[3] ^= 0x10; ASSERT_TRUE(gen()->do_all_blocks()); };
  const auto flip_patch = [&] {
    u8 b = 0;
    ASSERT_TRUE(data()->get_frame_single_byte(0, 1, b));
    ASSERT_TRUE(data()->update_frame_data(0, 1, static_cast<u8>(b ^ 0x10)));
  };
  const auto flip_pointer = [&] { data()->get_frame_data_ptr(1)[2] ^= 0x10; };
  for (const bool compressed : {true, false}) {
    auto g = cram_group(true, compressed);
    const std::string call = compressed ? "get_group_data" : "get_thread_data";
    const auto read = [&] {
      if (compressed) g->get_group_data(buffer(), 1 << 16); else g->get_thread_data(buffer(), 1 << 16, 0);
      return m_buffer;
    };
    const BYTES collected = read();
    for (const std::function<void()>& flip : std::vector<std::function<void()>>{flip_design, flip_patch, flip_pointer}) {
      flip();
      EXPECT_INTERNAL_ERROR(read(), "Block group " + call +
                                        "() called after the frames of the CRAM block of sector (0, 0) changed since "
                                        "collect_data()");
      EXPECT_INTERNAL_ERROR(g->get_group_descriptor_data(buffer(), 1),
                            "Block group get_group_descriptor_data() called after the frames of the CRAM block of "
                            "sector (0, 0) changed since collect_data()");
      flip();
      EXPECT_EQ(read(), collected);
    }
  }

  // A build that passes a changed block over, or a partial build of it,
  // leaves it changed and says why; skipping stays, so it comes last.
  static BYTES third(32, 0x66);
  const auto change = [&] { data()->set_data(VARNO_BLOCK_DATA_CRAM, third.data(), 256, nullptr); };
  const std::vector<std::pair<std::function<void()>, std::string>> passes = {
      {[&] { change(); EXPECT_FALSE(sector(0)->do_partial_block("CRAM", 0, 0)); },
       "its design data came after do_all_blocks built it"},
      {[&] { ASSERT_TRUE(data()->process(true)); change(); ASSERT_TRUE(gen()->do_all_blocks()); },
       "its design data came after process(true) built it, and a build passes it over until reset_process()"},
      {[&] { change(); sector(0)->skip_block_processing("CRAM"); ASSERT_TRUE(gen()->do_all_blocks()); },
       "its design data came after its build, and the build since skipped it (skip_block_processing)"},
  };
  for (const auto& [pass, why] : passes) {
    data()->reset_process();
    ASSERT_TRUE(gen()->do_all_blocks());
    const u32 size = data()->get_block_size();
    pass();
    EXPECT_EQ(data()->get_block_size(), size);
    EXPECT_INTERNAL_ERROR(data()->get_number_of_frames(), "Block CRAM of sector (0, 0) read before a rebuild: " + why);
    EXPECT_INTERNAL_ERROR(cram_group(true), "Block group collects the CRAM block of sector (0, 0) before a rebuild: " + why);
  }
}

}  // namespace
