// The frame-manager interface: its binding order and the defaults it gives.
#include <gtest/gtest.h>

#include <memory>

#include "generator_fixture.h"
#include "vtable.h"

TEST(FrameMgr, OperationOrderIsBinding) {
  using M = VARNO_FRAME_MGR;
  EXPECT_EQ(slot_of(&M::create_frames), 2);
  EXPECT_EQ(slot_of(&M::create_partial_frames), 3);
  EXPECT_EQ(slot_of(&M::set_parent), 4);
  EXPECT_EQ(slot_of(&M::parent), 5);
  EXPECT_EQ(slot_of(&M::potential_frames), 6);
  EXPECT_EQ(slot_of(&M::init), 7);
  EXPECT_EQ(slot_of(&M::set_random_filler), 8);
  EXPECT_EQ(slot_of(&M::set_user_frame_count), 9);
  EXPECT_EQ(slot_of(&M::dump_expected_data), 10);
  EXPECT_EQ(slot_of(&M::register_2d_engine), 11);
  EXPECT_EQ(slot_of(&M::get_lfsr), 12);
}

TEST(FrameMgr, DefaultsOfTheInterface) {
  std::unique_ptr<VARNO_FRAME_MGR> mgr = std::make_unique<STUB_FRAME_MGR>();
  mgr->register_2d_engine(nullptr);
  EXPECT_EQ(mgr->get_lfsr(nullptr, 1, 2, 3, 4), 0u);
  EXPECT_EQ(mgr->parent(), nullptr);
}
