// The operations of the gSOAP test server (input of soapcpp2; not compiled as it is). RPC
// style with literal encoding, so that the answer's Body element carries no attributes.
//gsoap ns service name: quarn
//gsoap ns service namespace: urn:quarn
//gsoap ns service style: rpc
//gsoap ns service encoding: literal
//gsoap ns schema namespace: urn:quarn

// The sum of a and b; a negative a is answered with a fault.
int ns__Add(int a, int b, int &sum);
