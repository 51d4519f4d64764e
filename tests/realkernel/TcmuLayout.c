/* The kernel's TCMU layout, checked against the offsets TcmuRing.h uses
 * (the header's inline functions are C, not C++). */
#include <linux/target_core_user.h>
#include <stddef.h>

_Static_assert(offsetof(struct tcmu_mailbox, version) == 0, "mailbox");
_Static_assert(offsetof(struct tcmu_mailbox, flags) == 2, "mailbox");
_Static_assert(offsetof(struct tcmu_mailbox, cmdr_off) == 4, "mailbox");
_Static_assert(offsetof(struct tcmu_mailbox, cmdr_size) == 8, "mailbox");
_Static_assert(offsetof(struct tcmu_mailbox, cmd_head) == 12, "mailbox");
_Static_assert(offsetof(struct tcmu_mailbox, cmd_tail) == 64, "mailbox");
_Static_assert(sizeof(struct tcmu_mailbox) <= 128, "mailbox");
_Static_assert(offsetof(struct tcmu_cmd_entry, hdr.uflags) == 7, "entry header");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov_cnt) == 8, "request");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov_bidi_cnt) == 12, "request");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov_dif_cnt) == 16, "request");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.cdb_off) == 24, "request");
_Static_assert(offsetof(struct tcmu_cmd_entry, req.iov) == 48, "request");
_Static_assert(sizeof(struct iovec) == 16, "iovec");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.scsi_status) == 8, "reply");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.read_len) == 12, "reply");
_Static_assert(offsetof(struct tcmu_cmd_entry, rsp.sense_buffer) == 16, "reply");
_Static_assert(TCMU_SENSE_BUFFERSIZE == 96, "reply");
_Static_assert(sizeof(struct tcmu_cmd_entry) == 112, "entry");
_Static_assert(TCMU_MAILBOX_VERSION == 2, "mailbox version");
_Static_assert(TCMU_MAILBOX_FLAG_CAP_READ_LEN == 2 && TCMU_UFLAG_READ_LEN == 2, "flags");
_Static_assert(TCMU_UFLAG_UNKNOWN_OP == 1 && TCMU_OP_CMD == 1 && TCMU_OP_TMR == 2, "flags");
