// The SOAP 1.1 client: KVCreateSoapInstance gives an IKVSoap that posts a request built from
// an action and named values to a web service and reads named values out of the answer.
//
// The outcome reaches the sink's OnSoapResult on a library thread (the HTTP client's internet
// thread or the timer thread): 0 the answer was read and its SOAP body found, 5 the answer has
// no complete SOAP body, 4 the HTTP connection failed or closed before the answer was whole.
// Destroy the object before Start or once OnSoapResult has been called (from inside it too).
#ifndef QRN_KVSOAP_H
#define QRN_KVSOAP_H

#include <stdint.h>

#include "qrn_export.h"

// Results of the operations and of OnSoapResult.
enum {
    KV_SOAP_OK = 0,
    KV_SOAP_ERR_STATE = 1,      // SetAction, SetProperty, Start: a call is under way or done
    KV_SOAP_ERR_LENGTH = 2,     // a bad length, or a text too long for its line of the request
    KV_SOAP_ERR_NOT_FOUND = 3,  // GetProperty: no such element with attributes in the answer
    KV_SOAP_ERR_HTTP = 4,       // Start, OnSoapResult: the HTTP request failed
    KV_SOAP_ERR_CONTENT = 5,    // GetProperty, OnSoapResult: malformed answer
};

// The application's receiver of the outcome; only its first virtual operation is called.
class ISoapSink {
public:
    virtual void OnSoapResult(int result) = 0;

protected:
    ~ISoapSink() = default;
};

class IKVSoap {
public:
    // The operation's name. 0, or KV_SOAP_ERR_STATE when not idle.
    virtual int SetAction(const char *action) = 0;
    // A parameter, as decimal text or as text (stored with &, <, > and " as entities); a name
    // set again keeps its place and takes the new value. 0, KV_SOAP_ERR_STATE, or
    // KV_SOAP_ERR_LENGTH when the name is missing or its line would exceed 1023 bytes.
    virtual int SetProperty(const char *name, uint32_t value) = 0;
    virtual int SetProperty(const char *name, int32_t value) = 0;
    virtual int SetProperty(const char *name, const char *value) = 0;
    // Posts the request to server_ip:server_port at url. 0 under way, KV_SOAP_ERR_STATE,
    // KV_SOAP_ERR_LENGTH (the action and urn do not fit their line), KV_SOAP_ERR_HTTP.
    virtual int Start(const char *server_ip, uint16_t server_port, const char *url, const char *urn) = 0;
    // Ends the call under way, if any, and makes the object idle; the action and the
    // parameters stay. 0.
    virtual int Close() = 0;
    // The value of an element written with attributes (<name attr="...">value</name>) in the
    // answer's body, decoded; the numeric forms read its leading decimal number.
    virtual int GetProperty(const char *name, uint32_t *out) = 0;
    virtual int GetProperty(const char *name, int32_t *out) = 0;
    // Copies at most *length - 1 bytes and a zero; *length becomes the value's length + 1
    // when that is smaller. 0, KV_SOAP_ERR_LENGTH, KV_SOAP_ERR_NOT_FOUND, KV_SOAP_ERR_CONTENT.
    virtual int GetProperty(const char *name, char *buffer, int32_t *length) = 0;
    // The body's content: when shorter than *length, *length becomes its length and a zero
    // follows it; at most *length bytes are copied. 0.
    virtual int GetResponseContent(char *buffer, uint32_t *length) = 0;
    virtual void Destroy() = 0;

protected:
    ~IKVSoap() = default;
};

// A new client reporting to sink; null when memory runs out.
extern "C" QRN_API IKVSoap *KVCreateSoapInstance(ISoapSink *sink);

#endif
