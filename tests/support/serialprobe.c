/* serialprobe: proves that a COM port of the test harness behaves like a serial port for
 * overlapped I/O. It wakes the device with 0x00 bytes until the acknowledge comes back and,
 * given a boot image and a program file, loads them as one loading step: the image padded
 * to 960 bytes, then the program file block by block, each answered with 0x11 (or 0xD5).
 *
 *   tovrin_serialprobe PORT ACK [BINFILE B86FILE]
 *
 * Exit status: 0 done, 1 usage, 2 port cannot be opened or set up, 3 a port call failed,
 * 4 no acknowledge in time, 5 a file cannot be read or is malformed. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ALTERNATE_ACK 0xD5
#define NEXT_ACK 0x11
#define BOOT_IMAGE_SIZE 960
#define CONNECT_ATTEMPTS 20
#define CONNECT_WAIT_MS 500
#define ACK_WAIT_MS 10000
#define WRITE_WAIT_MS 5000
#define MAX_PROGRAM (16 * 1024 * 1024)

typedef struct {
    HANDLE port;
    OVERLAPPED event; /* WaitCommEvent */
    OVERLAPPED read;  /* ReadFile */
    OVERLAPPED write; /* WriteFile */
    DWORD mask;
    int wait_pending; /* a WaitCommEvent is outstanding */
    BYTE buffer[1024];
} Probe;

static void report(const char* call, DWORD code) {
    printf("probe: %s failed with error %lu\n", call, code);
}

static int open_port(Probe* probe, const char* name) {
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 5000};
    DCB dcb;

    probe->port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe->port == INVALID_HANDLE_VALUE) {
        printf("probe: CreateFileA(%s) failed with error %lu\n", name, GetLastError());
        return 0;
    }
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!SetCommMask(probe->port, EV_RXCHAR) || !SetupComm(probe->port, 4096, 4096) ||
        !PurgeComm(probe->port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ||
        !SetCommTimeouts(probe->port, &timeouts) || !GetCommState(probe->port, &dcb)) {
        report("port set-up", GetLastError());
        return 0;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(probe->port, &dcb)) {
        report("SetCommState", GetLastError());
        return 0;
    }
    return 1;
}

/* Overlapped write of the whole buffer. */
static int send_bytes(Probe* probe, const BYTE* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(probe->port, data, size, &written, &probe->write)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            report("WriteFile", GetLastError());
            return 0;
        }
        if (WaitForSingleObject(probe->write.hEvent, WRITE_WAIT_MS) != WAIT_OBJECT_0) {
            printf("probe: WriteFile did not complete\n");
            return 0;
        }
        if (!GetOverlappedResult(probe->port, &probe->write, &written, FALSE)) {
            report("WriteFile completion", GetLastError());
            return 0;
        }
    }
    if (written != size) {
        printf("probe: wrote %lu of %lu bytes\n", written, size);
        return 0;
    }
    return 1;
}

/* Reads once after an EV_RXCHAR event, as the receive thread of the product does: 1 when an
 * acknowledge was among the bytes, 0 when not, -1 on failure. Other bytes are device output
 * and are shown. Only read when data is known to be there: Wine pends an overlapped read on
 * an empty port even with the "return at once" time-outs. */
static int read_event_bytes(Probe* probe, BYTE ack) {
    DWORD count = 0;
    DWORD i;
    int acknowledged = 0;
    if (!ReadFile(probe->port, probe->buffer, sizeof probe->buffer, &count, &probe->read)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            report("ReadFile", GetLastError());
            return -1;
        }
        if (WaitForSingleObject(probe->read.hEvent, WRITE_WAIT_MS) != WAIT_OBJECT_0) {
            printf("probe: ReadFile did not complete\n");
            CancelIo(probe->port);
            return -1;
        }
        if (!GetOverlappedResult(probe->port, &probe->read, &count, FALSE)) {
            report("ReadFile completion", GetLastError());
            return -1;
        }
    }
    for (i = 0; i < count; ++i) {
        BYTE byte = probe->buffer[i];
        if (byte == ack || byte == ALTERNATE_ACK) {
            acknowledged = 1;
        } else {
            printf("probe: device output byte 0x%02X\n", byte);
        }
    }
    return acknowledged;
}

/* Makes sure a WaitCommEvent is outstanding: 1 when it is pending, 2 when it completed at
 * once, -1 when it failed. */
static int arm(Probe* probe) {
    if (probe->wait_pending) {
        return 1;
    }
    ResetEvent(probe->event.hEvent);
    probe->mask = 0;
    if (WaitCommEvent(probe->port, &probe->mask, &probe->event)) {
        return 2;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        report("WaitCommEvent", GetLastError());
        return -1;
    }
    probe->wait_pending = 1;
    return 1;
}

/* 1 when ack or 0xD5 came back within timeout_ms, 0 when not, -1 on failure. */
static int wait_ack(Probe* probe, BYTE ack, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed;
        DWORD waited;
        DWORD ignored;
        int armed = arm(probe);
        if (armed < 0) {
            return -1;
        }
        if (armed == 1) {
            elapsed = GetTickCount() - start;
            if (elapsed >= timeout_ms) {
                return 0;
            }
            waited = WaitForSingleObject(probe->event.hEvent, timeout_ms - elapsed);
            if (waited == WAIT_TIMEOUT) {
                return 0;
            }
            if (waited != WAIT_OBJECT_0) {
                report("WaitForSingleObject", GetLastError());
                return -1;
            }
            probe->wait_pending = 0;
            if (!GetOverlappedResult(probe->port, &probe->event, &ignored, FALSE)) {
                report("WaitCommEvent completion", GetLastError());
                return -1;
            }
        }
        if ((probe->mask & EV_RXCHAR) != 0) {
            int answer = read_event_bytes(probe, ack);
            if (answer != 0) {
                return answer;
            }
        }
        if (GetTickCount() - start >= timeout_ms) {
            return 0;
        }
    }
}

/* Sends and waits for the acknowledge; returns an exit status (0 = acknowledged). */
static int exchange(Probe* probe, const BYTE* data, DWORD size, BYTE ack, DWORD timeout_ms) {
    int answer;
    int armed;
    /* The wait is outstanding before the bytes leave, so that the answer cannot slip past it.
     * Whatever came earlier is output, not the answer to these bytes. */
    while ((armed = arm(probe)) == 2) {
        if ((probe->mask & EV_RXCHAR) != 0 && read_event_bytes(probe, ack) < 0) {
            return 3;
        }
    }
    if (armed < 0 || !send_bytes(probe, data, size)) {
        return 3;
    }
    answer = wait_ack(probe, ack, timeout_ms);
    return answer < 0 ? 3 : answer == 0 ? 4 : 0;
}

static int connect_device(Probe* probe, BYTE ack) {
    static const BYTE zero = 0;
    int attempt;
    for (attempt = 1; attempt <= CONNECT_ATTEMPTS; ++attempt) {
        int status = exchange(probe, &zero, 1, ack, CONNECT_WAIT_MS);
        if (status == 0) {
            printf("probe: connected after %d zero bytes\n", attempt);
            return 0;
        }
        if (status != 4) {
            return status;
        }
    }
    printf("probe: no acknowledge after %d zero bytes\n", CONNECT_ATTEMPTS);
    return 4;
}

/* Reads a whole file into a new buffer (freed by the caller); NULL when it cannot. */
static BYTE* read_file(const char* path, long* size) {
    FILE* file = fopen(path, "rb");
    BYTE* data = NULL;
    if (file == NULL) {
        printf("probe: cannot open %s\n", path);
        return NULL;
    }
    if (fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0 && *size <= MAX_PROGRAM &&
        fseek(file, 0, SEEK_SET) == 0) {
        data = (BYTE*)malloc((size_t)*size + 1);
        if (data != NULL && fread(data, 1, (size_t)*size, file) != (size_t)*size) {
            free(data);
            data = NULL;
        }
    }
    fclose(file);
    if (data == NULL) {
        printf("probe: cannot read %s\n", path);
    }
    return data;
}

static int load_boot_image(Probe* probe, const char* path) {
    BYTE image[BOOT_IMAGE_SIZE];
    long size = 0;
    BYTE* data = read_file(path, &size);
    int status;
    if (data == NULL || size > BOOT_IMAGE_SIZE) {
        free(data);
        return 5;
    }
    memset(image, 0xFF, sizeof image);
    memcpy(image, data, (size_t)size);
    free(data);
    status = exchange(probe, image, BOOT_IMAGE_SIZE, NEXT_ACK, ACK_WAIT_MS);
    if (status == 0) {
        printf("probe: boot image acknowledged\n");
    }
    return status;
}

static int load_program(Probe* probe, const char* path) {
    long size = 0;
    long position = 0;
    int blocks = 0;
    int status = 0;
    BYTE* data = read_file(path, &size);
    if (data == NULL) {
        return 5;
    }
    while (status == 0 && position < size) {
        long length = data[position] + 5L;
        if (position + length > size) {
            printf("probe: block %d runs past the end of %s\n", blocks + 1, path);
            status = 5;
            break;
        }
        status = exchange(probe, data + position, (DWORD)length, NEXT_ACK, ACK_WAIT_MS);
        position += length;
        ++blocks;
    }
    free(data);
    if (status == 0) {
        printf("probe: %d blocks acknowledged\n", blocks);
    }
    return status;
}

static int run(Probe* probe, int argc, char** argv) {
    BYTE ack = (BYTE)strtoul(argv[2], NULL, 0);
    int status;
    if (!open_port(probe, argv[1])) {
        return 2;
    }
    status = connect_device(probe, ack);
    if (status == 0 && argc == 5) {
        status = load_boot_image(probe, argv[3]);
    }
    if (status == 0 && argc == 5) {
        status = load_program(probe, argv[4]);
    }
    return status;
}

int main(int argc, char** argv) {
    Probe probe;
    int status;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc != 3 && argc != 5) {
        printf("usage: tovrin_serialprobe PORT ACK [BINFILE B86FILE]\n");
        return 1;
    }
    memset(&probe, 0, sizeof probe);
    probe.port = INVALID_HANDLE_VALUE;
    probe.event.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    probe.read.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    probe.write.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (probe.event.hEvent == NULL || probe.read.hEvent == NULL || probe.write.hEvent == NULL) {
        report("CreateEventA", GetLastError());
        return 3;
    }
    status = run(&probe, argc, argv);
    if (probe.port != INVALID_HANDLE_VALUE) {
        CloseHandle(probe.port); /* cancels an outstanding WaitCommEvent */
    }
    CloseHandle(probe.event.hEvent);
    CloseHandle(probe.read.hEvent);
    CloseHandle(probe.write.hEvent);
    return status;
}
