// The host command table.
//
// Each code maps to one handler; codes that have none get the standard reply with an all-zero
// result. A handler reads its arguments through command_args (which refuses names and blocks
// that would not fit), calls the operation of its subsystem, and fills the result bytes of the
// reply; the packet loop adds the header and sends it after the handler has returned.
#include "app/handlers.h"

#include <cstdio>
#include <cstring>

#include "app/handlers_internal.h"
#include "crypto/host_packet.h"

HandlerEnd failure_reply(uint8_t *reply, const char *what_failed) {
  memcpy(reply, "create_failed", sizeof "create_failed");
  fprintf(stderr, "command failed, answered as failed: %s\n", what_failed);
  return HandlerEnd::reply;
}

HandlerEnd handle_host_command(const HostCommand &cmd, uint8_t *reply) {
  switch (cmd.code) {
    case CMD_GET_VERSION: return cmd_get_version(cmd, reply);
    case CMD_REBOOT: return cmd_reboot(cmd, reply);
    case CMD_HALT: return cmd_halt(cmd, reply);
    case CMD_SET_ROTATION: return cmd_set_rotation(cmd, reply);
    case CMD_SET_BRIGHTNESS: return cmd_set_brightness(cmd, reply);
    case CMD_SET_FRAMERATE: return cmd_set_framerate(cmd, reply);
    case CMD_SHOW_JPG: return cmd_show_jpg(cmd, reply);
    case CMD_SHOW_PNG: return cmd_show_png(cmd, reply);
    case CMD_PLAY_LOCAL_JPG: return cmd_play_local_jpg(cmd, reply);
    case CMD_STOP_LOCAL_JPG: return cmd_stop_local_jpg(cmd, reply);
    case CMD_PLAY_LOCAL_H264: return cmd_play_local_h264(cmd, reply);
    case CMD_STOP_LOCAL_H264: return cmd_stop_local_h264(cmd, reply);
    case CMD_GET_LOCAL_H264_STATE: return cmd_get_local_h264_state(cmd, reply);
    case CMD_PUSH_H264_BLOCK: return cmd_push_h264_block(cmd, reply);
    case CMD_GET_H264_BLOCK_COUNT: return cmd_get_h264_block_count(cmd, reply);
    case CMD_STOP_H264: return cmd_stop_h264(cmd, reply);
    case CMD_CREATE_FILE: return cmd_create_file(cmd, reply);
    case CMD_SAVE_FILE_BUFFER: return cmd_save_file_buffer(cmd, reply);
    case CMD_SAVE_SMALL_FILE: return cmd_save_small_file(cmd, reply);
    case CMD_DELETE_FILE: return cmd_delete_file(cmd, reply);
    case CMD_GET_FILE_SIZE: return cmd_get_file_size(cmd, reply);
    case CMD_QUERY_DIR: return cmd_query_dir(cmd, reply);
    case CMD_QUERY_STORAGE: return cmd_query_storage(cmd, reply);
    case CMD_SET_CONFIG: return cmd_set_config(cmd, reply);
    case CMD_MARK_USB_DISPLAY: return cmd_mark_usb_display(cmd, reply);
    case CMD_GET_GROUP_POSITION: return cmd_get_group_position(cmd, reply);
    case CMD_MCU_ERASE: return cmd_mcu_erase(cmd, reply);
    case CMD_MCU_UPDATE_DATA: return cmd_mcu_update_data(cmd, reply);
    case CMD_SET_THEME: return cmd_set_theme(cmd, reply);
    case CMD_GET_MCU_DATA: return cmd_get_mcu_data(cmd, reply);
    case CMD_MCU_SET_PUMP_FAN: return cmd_mcu_set_pump_fan(cmd, reply);
    case CMD_MCU_LIGHT_DATA: return cmd_mcu_light_data(cmd, reply);
    case CMD_TEST_H264_DECODE: return cmd_test_h264_decode(cmd, reply);
    default:  // 0x33, 0x34, 0xFE and every unknown code: nothing to do
      return HandlerEnd::reply;
  }
}
