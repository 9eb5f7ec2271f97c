#include "models/device_config.h"

#include "models/keyboard_model.h"

namespace sim {

models::KeyboardSettings keyboard_settings(const KeyboardConfig& c, const PackageFacts& package)
{
    models::KeyboardSettings s;
    s.nxp = c.nxp;
    s.bt = c.bt;
    s.sonix = c.sonix;
    s.bt_ready = c.bt_ready;
    s.checksum = c.checksum == "wrong"  ? models::ChecksumAnswer::Wrong
                 : c.checksum == "none" ? models::ChecksumAnswer::None
                                        : models::ChecksumAnswer::Correct;
    s.finish_ack = c.finish_ack;
    s.returns = c.returns;
    s.nxp_after = c.nxp_after;
    s.bt_after = c.bt_after;
    s.starts_in_bootloader = c.bootloader_mode;
    s.runtime_dfu = c.runtime_dfu;
    s.bootloader.poll_ms = c.bootloader.poll_ms;
    s.bootloader.busy_polls = c.bootloader.busy_polls;
    s.bootloader.error_at_block = c.bootloader.error_at_block;
    s.bootloader.manifest_polls = c.bootloader.manifest_polls;
    s.bootloader.manifest_poll_ms = c.bootloader.manifest_poll_ms;
    s.bootloader.fail_transfers = c.bootloader.fail_transfers;
    s.bootloader.hang_after_transfers = c.bootloader.hang_after_transfers;
    s.bootloader.manifestation_tolerant = c.bootloader.manifestation_tolerant;
    s.bootloader.will_detach = c.bootloader.will_detach;
    s.bootloader.can_upload = c.bootloader.can_upload;
    s.bootloader.transfer_size = (uint16_t)c.bootloader.transfer_size;
    s.bootloader.detach_timeout_ms = (uint16_t)c.bootloader.detach_timeout_ms;
    s.bootloader.flash_size = (uint32_t)c.bootloader.flash_size;
    s.bootloader.stall_early_status = c.bootloader.strict_poll;
    s.package_nxp = package.nxp;
    s.package_bt = package.bt;
    s.package_bt_sum = package.bt_sum;
    return s;
}

}  // namespace sim
