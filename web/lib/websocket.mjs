// The browser's transport: the frame stream over a WebSocket, binary
// messages only. Message boundaries mean nothing: a frame may span messages
// and a message may hold several. Used by the web app; see room.mjs for the
// dialer contract.

// A dialer for ChatRoom. `url` is wss://HOST:PORT/ws on the page's own
// origin; `WebSocketClass` lets code outside the browser pass its own.
export function webSocketDialer(url, { WebSocketClass = globalThis.WebSocket } = {}) {
  return ({ onbytes, onclose }) => new Promise((resolve, reject) => {
    const ws = new WebSocketClass(url);
    ws.binaryType = 'arraybuffer';
    let open = false;
    ws.onopen = () => {
      open = true;
      resolve({
        send: (bytes) => ws.send(bytes),
        close: () => {
          ws.onclose = ws.onmessage = null;
          ws.close(1000);
        },
      });
    };
    ws.onmessage = (event) => {
      if (typeof event.data === 'string') {
        // The server never sends text: whatever sent this is no chat server.
        ws.onclose = null;
        ws.close(1003);
        onclose('the server sent a text message');
        return;
      }
      onbytes(new Uint8Array(event.data));
    };
    // A failed connection fires error, then close; the close says it all.
    ws.onerror = () => {};
    ws.onclose = (event) => {
      const why = `the WebSocket closed with ${event.code}${event.reason ? ': ' + event.reason : ''}`;
      if (open) onclose(why);
      else reject(new Error(event.code === 1006 ? 'no WebSocket connection' : why));
    };
  });
}

// The page's own endpoint: same origin, path /ws.
export function pageWebSocketUrl(location = globalThis.location) {
  return `${location.protocol === 'http:' ? 'ws' : 'wss'}://${location.host}/ws`;
}
