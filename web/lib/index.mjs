// The library's entry for browsers and Node alike: frames, SM4, the stream
// reader, escaping, the session and ChatRoom. The Node-only TLS transport is
// "saferoom/tls" (lib/tls.mjs).
export * from './sm4.mjs';
export * from './frame.mjs';
export { FrameReader } from './frame-reader.mjs';
export { SafeText, ShownName } from './safe-text.mjs';
export { CommandHelp, Mentions, ParseCommand } from './commands.mjs';
export * from './session.mjs';
export { ChatRoom } from './room.mjs';
export * from './device-auth.mjs';
export { pageWebSocketUrl, webSocketDialer } from './websocket.mjs';
