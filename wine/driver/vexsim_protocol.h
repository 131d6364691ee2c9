/* Between the test driver of the simulated capture device (vexsim.sys, under
 * Wine) and the simulator serving it (vexarhd-devsim.exe).
 *
 * The driver is a thin forwarder. Each handle a program opens on the device
 * interface is one connection of the driver to the simulator's named pipe,
 * made when the handle is opened and ended when it is closed; a handle cannot
 * be opened while the simulator is not serving. On the connection:
 *
 *   driver -> simulator   vexsim_message, then `carried` input bytes:
 *     VEXSIM_REQUEST  one DeviceIoControl: its code, input and output sizes
 *                     and id (increasing per connection). A stream transfer
 *                     (IOCTL_TRANSFER to the stream endpoint) carries only
 *                     its 38-byte header; any other request carries its input
 *                     whole (at most VEXSIM_MAX_INPUT bytes).
 *     VEXSIM_CANCEL   the program cancelled the stream transfer `id`; the
 *                     driver has already ended it, nothing is answered.
 *     VEXSIM_CLOSE    the handle was closed: the simulator disconnects.
 *
 *   simulator -> driver   vexsim_answer, then `carried` output bytes: the
 *     request `id` ends with `status` (an NTSTATUS) and `returned` bytes. An
 *     answer for a request the driver no longer knows (cancelled) is dropped.
 *
 * Stream transfers stay pending in the driver until answered, so the
 * simulator answers them in its own time, in issue order; every other
 * request holds its caller until it is answered, so the simulator answers it
 * at once. Integers are little-endian (both ends run on one machine). */
#ifndef VEXSIM_PROTOCOL_H
#define VEXSIM_PROTOCOL_H

/* The pipe, as the driver opens it and as the simulator creates it. */
#define VEXSIM_PIPE_KERNEL_NAME L"\\Device\\NamedPipe\\vexarhd-devsim"
#define VEXSIM_PIPE_NAME "\\\\.\\pipe\\vexarhd-devsim"

#define VEXSIM_REQUEST 1u
#define VEXSIM_CANCEL 2u
#define VEXSIM_CLOSE 3u

/* The requests of the capture-device contract the driver tells apart. */
#define VEXSIM_IOCTL_TRANSFER 0x220024u
#define VEXSIM_HEADER_SIZE 38u
#define VEXSIM_ENDPOINT_OFFSET 13u
#define VEXSIM_STREAM_ENDPOINT 0x82u

/* Input bytes a request carries at most; output bytes an answer carries at
 * most (a stream transfer's header and 131072 data bytes, with room to spare). */
#define VEXSIM_MAX_INPUT 4096u
#define VEXSIM_MAX_OUTPUT (VEXSIM_HEADER_SIZE + 262144u)

struct vexsim_message
{
    unsigned int kind; /* VEXSIM_REQUEST, VEXSIM_CANCEL or VEXSIM_CLOSE */
    unsigned int id;
    unsigned int code;    /* I/O control code */
    unsigned int inSize;  /* input bytes of the request */
    unsigned int outSize; /* output room of the request */
    unsigned int carried; /* input bytes that follow */
};

struct vexsim_answer
{
    unsigned int id;
    int status;            /* NTSTATUS: 0 for success */
    unsigned int returned; /* bytes returned, at most the request's output room */
    unsigned int carried;  /* output bytes that follow */
};

#endif
