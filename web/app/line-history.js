// Up and Down in the message box: earlier lines back, and the line being
// typed kept while browsing. Pure; used by app.js and the tests.

export class LineHistory {
  #lines = [];
  #at = 0; // index into #lines; #lines.length means the draft
  #draft = '';

  constructor(limit = 100) {
    this.limit = limit;
  }

  // A line that went out; browsing starts again after it.
  add(line) {
    if (line && this.#lines[this.#lines.length - 1] !== line) this.#lines.push(line);
    if (this.#lines.length > this.limit) this.#lines.shift();
    this.#at = this.#lines.length;
    this.#draft = '';
  }

  // Up: the line before, or null at the oldest. `current` is what the box
  // holds now, kept as the draft when leaving it.
  older(current) {
    if (this.#at === 0) return null;
    if (this.#at === this.#lines.length) this.#draft = current;
    return this.#lines[--this.#at];
  }

  // Down: the line after, the draft after the newest, null past it.
  newer() {
    if (this.#at >= this.#lines.length) return null;
    ++this.#at;
    return this.#at === this.#lines.length ? this.#draft : this.#lines[this.#at];
  }
}
