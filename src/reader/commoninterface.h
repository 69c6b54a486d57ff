/*
 * The C interface of the reader maker's libCommonInterface.so, as the service
 * calls it. The service never links against the library: it resolves these
 * five entry points at run time. The reader simulator implements the same
 * prototypes, so both sides are checked against this one header.
 */
#ifndef COMMONINTERFACE_H
#define COMMONINTERFACE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the buffer that IdReadCard fills with the NUL-terminated card record. */
#define COMMONINTERFACE_RECORD_SIZE 10240

/* Opens the reader. The service passes "USB", "0400C35A" and "". >= 0 success, < 0 failure. */
long OpenDevice(const char *port, const char *device, const char *options);

/* Closes the reader. The service does not read the result. */
long CloseDevice(void);

/* Reads the secure module's identity. Never called by the service. */
long SamGetId(unsigned char *id, long size);

/* Reads the secure module's identity as text. Never called by the service. */
long SamGetIdStr(char *text, long size);

/*
 * Reads the document lying on the reader into record, a zero-filled buffer of
 * COMMONINTERFACE_RECORD_SIZE bytes. The service passes 0, 1, record, 0.
 * 0: record holds the GB18030 card record; anything else: failure code.
 */
long IdReadCard(long slot, long mode, char *record, long flags);

#ifdef __cplusplus
}
#endif

#endif /* COMMONINTERFACE_H */
