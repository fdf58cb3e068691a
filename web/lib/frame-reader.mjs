// Cuts a byte stream into whole frames, without any I/O: bytes in any split
// (TLS reads, WebSocket messages), whole frames out. Used by room.mjs; the
// C++ counterpart is protect/FrameReader.
import { HeaderAcceptable, kHeaderSize, ParseHeader, PayloadLength } from './frame.mjs';

const kFirstRoom = 4096;

export class FrameReader {
  // What next() returns when no whole frame is there yet.
  static NeedMore = Object.freeze({ status: 'needMore' });
  // What next() returns, from then on, after a header no sound peer sends
  // (a length over kMaxPayload or not a multiple of 16): the stream cannot be
  // cut any further, and the connection should end.
  static BadHeader = Object.freeze({ status: 'badHeader' });

  #buf = new Uint8Array(0);
  #start = 0; // first byte not yet handed out
  #end = 0; // end of the bytes pushed
  #bad = false;

  // Appends a chunk; the reader keeps a copy, so the caller may reuse it.
  push(chunk) {
    if (this.#bad || chunk.length === 0) return;
    const have = this.#end - this.#start;
    if (this.#end + chunk.length > this.#buf.length) {
      // Room at the front is reused before the buffer grows; growth doubles,
      // so a frame arriving a byte at a time still costs linear time.
      const size = have + chunk.length;
      if (size <= this.#buf.length) {
        this.#buf.copyWithin(0, this.#start, this.#end);
      } else {
        const grown = new Uint8Array(Math.max(kFirstRoom, size, 2 * this.#buf.length));
        grown.set(this.#buf.subarray(this.#start, this.#end));
        this.#buf = grown;
      }
      this.#start = 0;
      this.#end = have;
    }
    this.#buf.set(chunk, this.#end);
    this.#end += chunk.length;
  }

  // The next whole frame as { header, payload } (the payload still encrypted,
  // a copy of its own), or NeedMore, or BadHeader. The header's length is
  // checked before any payload is waited for.
  next() {
    if (this.#bad) return FrameReader.BadHeader;
    const have = this.#end - this.#start;
    if (have < kHeaderSize) return FrameReader.NeedMore;
    const header = ParseHeader(this.#buf.subarray(this.#start, this.#start + kHeaderSize));
    if (!HeaderAcceptable(header)) {
      this.#bad = true;
      this.#buf = new Uint8Array(0);
      return FrameReader.BadHeader;
    }
    const need = kHeaderSize + PayloadLength(header.lengthWord);
    if (have < need) return FrameReader.NeedMore;
    const payload = this.#buf.slice(this.#start + kHeaderSize, this.#start + need);
    this.#start += need;
    if (this.#start === this.#end) {
      this.#start = this.#end = 0;
      // An idle stream keeps no large buffer from its last big frame.
      if (this.#buf.length > kFirstRoom) this.#buf = new Uint8Array(0);
    }
    return { header, payload };
  }

  // Bytes pushed and not yet handed out as frames.
  get pending() {
    return this.#end - this.#start;
  }
}
