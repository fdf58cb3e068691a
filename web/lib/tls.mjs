// The Node.js transport: the frame stream straight over TLS 1.2 (cipher
// AES128-SHA) to the server's TLS port, the server verified. Used by bots
// and the integration tests; not for the browser (it imports node:tls).
import tls from 'node:tls';

// A dialer for ChatRoom. `ca`: the PEM text (or Buffer) of the CA that signed
// the server's certificate; without it, the system's trusted CAs. The host
// name or address must be in the server's certificate. `cert` and `key`
// present a client certificate (for a private room). A connection not made
// within `timeoutMs` counts as failed.
export function tlsDialer({ host, port, ca, cert, key, servername, timeoutMs = 10000 }) {
  return ({ onbytes, onclose }) => new Promise((resolve, reject) => {
    let open = false;
    const socket = tls.connect({
      host, port, ca, cert, key, servername,
      minVersion: 'TLSv1.2', maxVersion: 'TLSv1.2', ciphers: 'AES128-SHA',
    });
    const timer = setTimeout(() => {
      socket.destroy(new Error(`no connection within ${timeoutMs / 1000} s`));
    }, timeoutMs);
    socket.once('secureConnect', () => {
      clearTimeout(timer);
      open = true;
      socket.setNoDelay(true);
      resolve({
        send: (bytes) => socket.write(bytes),
        close: () => {
          socket.removeAllListeners('close');
          socket.end(); // what was written still goes out, then close_notify
          setTimeout(() => socket.destroy(), 1000).unref();
        },
      });
    });
    socket.on('data', (chunk) => onbytes(new Uint8Array(chunk.buffer, chunk.byteOffset, chunk.length)));
    let failure = null;
    socket.on('error', (err) => {
      failure = err;
    });
    socket.on('close', () => {
      clearTimeout(timer);
      if (open) onclose(failure ? failure.message : 'the server closed the connection');
      else reject(failure ?? new Error('the connection closed during the handshake'));
    });
  });
}
