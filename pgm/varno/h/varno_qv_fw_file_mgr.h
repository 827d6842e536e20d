// Firmware images of the QV, TK and WX families. The host names one or more
// firmware files (HEX records or ROM words); each is read into a byte image,
// cut into data frames behind a MORLU packet header and surrounded by the
// fixed command frames that the block's header version and the firmware type
// of the manager parameters call for.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "varno_qv_frame_mgr_base.h"
#include "varno_types.h"

// Operation of a MORLU packet header.
enum MORLU_WRITE_OP_TYPE : u32 {
  MORLU_WRITE_OP_DATA = 0,
  MORLU_WRITE_OP_CMD1 = 1,
  MORLU_WRITE_OP_CMD2 = 2,
  MORLU_WRITE_OP_CMD3 = 3,
  MORLU_WRITE_OP_CMD4 = 4,
};

class VARNO_QV_FW_FILE_MGR : public VARNO_QV_FRAME_MGR_BASE {
 public:
  // One memory block of a firmware file: length bytes at address.
  struct BLOCK {
    // Copies length bytes of src (zero-filled when src is null).
    BLOCK(u32 address, u32 length, const u8* src);
    // Orders blocks by address.
    static bool compare(const std::unique_ptr<BLOCK>& a, const std::unique_ptr<BLOCK>& b);

    u32 address;
    u32 length;
    std::unique_ptr<u8[]> data;
  };

  VARNO_QV_FW_FILE_MGR();
  ~VARNO_QV_FW_FILE_MGR() override;

  // Reads every file of the block's data-file list and builds its frames;
  // false when any file failed (the others are still framed).
  bool create_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;
  // Appends the frames of the file just read; first and last are not used.
  bool create_partial_frames(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config, u32 first,
                             u32 last) override;
  // Firmware blocks have no expected data.
  void dump_expected_data(std::string&) override {}

  // The manager takes no user data: nothing to check.
  bool verify_user_data(VARNO_DBLOCK*, VARNO_BLOCK_CONFIG*) { return true; }

  // Appends a block with a copy of the bytes.
  void add_block(u32 address, u32 length, const u8* bytes);
  // HEX records of the current path into blocks; false for a malformed file.
  bool process_fw_file();
  // ROM words of the current path into blocks; false for a malformed file.
  bool process_rom_file();
  // Merges the blocks into the image; false (with a message) when a block
  // lies past the end of the last record or there is no record at all; an
  // image past the file's firmware size is an internal error.
  bool merge_blocks();
  u32 get_morlu_hdr_size() const { return m_header_size; }
  // MORLU packet header of op at dest (12 bytes; nothing for header version 0).
  void write_morlu_hdr(u8* dest, MORLU_WRITE_OP_TYPE op, u32 length, u32 sequence) const;
  // SPICO SerDes header word(s) at dest (header version 3 only).
  void write_morlu3_spico_serdes_hdr(u8* dest, u32 length, u32 sequence, bool flag) const;

  // State after the last file read, for the host and for tests.
  u32 header_version() const { return m_header_version; }
  u32 last_blk_address() const { return m_last_blk_address; }
  u32 last_blk_len() const { return m_last_blk_len; }
  u64 image_size() const { return m_image_size; }
  const u8* image() const { return m_image.get(); }
  const std::vector<std::unique_ptr<BLOCK>>& blocks() const { return m_blocks; }
  void set_path(const std::string& path) { m_path = path; }

 protected:
  bool setup_data(VARNO_DBLOCK* block, VARNO_BLOCK_CONFIG* config) override;

 private:
  struct FILE_CLOSER {
    void operator()(FILE* f) const { std::fclose(f); }
  };
  using FILE_PTR = std::unique_ptr<FILE, FILE_CLOSER>;

  // The current path opened for reading; internal error when it does not open.
  FILE_PTR open_path() const;
  // An image ending at end must fit the firmware size the host gave for the
  // file, as the frame layout requires (same internal errors): checked
  // before the image is allocated, since a file of a few records can name
  // addresses gigabytes apart.
  void check_image_fits(u64 end) const;
  // Forgets the blocks, the image and the last record of the previous file.
  void reset_file_state();

  u8 m_multiple_files = 0;
  u8 m_last_file = 0;
  std::string m_path;
  std::vector<std::string> m_files;
  u32 m_file_counter = 0;
  std::vector<std::unique_ptr<BLOCK>> m_blocks;
  u32 m_last_blk_address = 0;
  u32 m_last_blk_len = 0;
  u32 m_setup_header_version = 0;  // word 6 of the frame descriptor
  u32 m_header_version = 0;        // in force for the build; the firmware type may raise it
  u32 m_header_size = 0;           // bytes of a MORLU header: 12, or 0 without one
  std::unique_ptr<u8[]> m_image;
  u64 m_image_size = 0;
};
