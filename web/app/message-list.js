// The message list: lines are queued and put in once per animation frame,
// as one batch, so that a burst costs one layout, not one per line; the
// list keeps its last `limit` lines. New lines go into the one element with
// role="log" (read out politely); lines from the room's history go into a
// block of their own outside it, so that they are never read out as news.
// Used by app.js.

export const kMaxLines = 1000; // as many as one history answer may hold

export class MessageList {
  #scroller;
  #live;
  #pending = [];
  #count = 0;
  #scheduled = false;
  #atEnd = true; // the reader is at the end: new lines keep it there

  constructor(scroller, limit = kMaxLines) {
    this.#scroller = scroller;
    this.limit = limit;
    this.#live = this.#newLive();
    scroller.append(this.#live);
    scroller.addEventListener('scroll', () => {
      this.#atEnd = scroller.scrollHeight - scroller.scrollTop - scroller.clientHeight < 40;
    }, { passive: true });
    // A phone's keyboard shrinks the list: the newest line stays in view.
    new ResizeObserver(() => this.#atEnd && this.#toEnd()).observe(scroller);
  }

  // Queues a line, made by `make()` only if it is to be shown: of a burst
  // longer than the list, the first are never made. `earlier` for one from
  // the room's history.
  add(make, earlier = false) {
    this.#pending.push({ make, earlier });
    if (this.#pending.length > this.limit) this.#pending.shift();
    if (this.#scheduled) return;
    this.#scheduled = true;
    // A hidden tab gets no animation frames; its list still keeps up.
    const run = () => this.#scheduled && this.flush();
    requestAnimationFrame(run);
    setTimeout(run, 250);
  }

  // Puts every queued line in, in order; runs on its own once per frame.
  flush() {
    this.#scheduled = false;
    const pending = this.#pending.splice(0);
    for (let from = 0; from < pending.length;) {
      const earlier = pending[from].earlier;
      let to = from;
      while (to < pending.length && pending[to].earlier === earlier) ++to;
      const lines = pending.slice(from, to).map((p) => p.make());
      (earlier ? this.#earlierBlock() : this.#live).append(...lines);
      this.#count += lines.length;
      from = to;
    }
    this.#trim();
    if (this.#atEnd) this.#toEnd();
  }

  get lineCount() {
    return this.#count;
  }

  #newLive() {
    const live = document.createElement('div');
    live.className = 'segment';
    live.setAttribute('role', 'log');
    live.setAttribute('aria-label', 'New messages');
    return live;
  }

  // The block for history lines: right before the live one while that is
  // still empty; else the live block becomes plain and a new one follows.
  #earlierBlock() {
    if (this.#live.firstChild) {
      this.#live.removeAttribute('role');
      this.#live.removeAttribute('aria-label');
      this.#live = this.#newLive();
      this.#scroller.append(this.#live);
    }
    const before = this.#live.previousElementSibling;
    if (before?.classList.contains('earlier-block')) return before;
    const block = document.createElement('div');
    block.className = 'segment earlier-block';
    this.#live.before(block);
    return block;
  }

  // The oldest lines go; so do the blocks they leave empty.
  #trim() {
    while (this.#count > this.limit) {
      const block = this.#scroller.firstElementChild;
      const excess = this.#count - this.limit;
      const lines = block.children.length;
      if (lines <= excess && block !== this.#live) {
        block.remove();
        this.#count -= lines;
      } else {
        const range = document.createRange();
        range.setStartBefore(block.firstElementChild);
        range.setEndAfter(block.children[Math.min(excess, lines) - 1]);
        range.deleteContents();
        this.#count -= Math.min(excess, lines);
      }
    }
  }

  #toEnd() {
    this.#scroller.scrollTop = this.#scroller.scrollHeight;
  }
}
