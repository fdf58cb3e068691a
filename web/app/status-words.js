// Where the connection stands, in plain words: the login screen's note and
// the room's bar. Pure; used by app.js and the tests.
import { Phase, kRoomSize } from './lib/session.mjs';

// Why the last try failed, as the page's dialer saw it (app.js).
export const Cause = Object.freeze({
  Unreachable: 'unreachable', // no connection to the server
  NoAnswer: 'noAnswer', // connected, but the login got no answer: a full room
  Lost: 'lost', // the server closed the connection
});

const again = (seconds) => (seconds > 0 ? `Trying again in ${seconds} s.` : 'Trying again now.');

function why(cause) {
  if (cause === Cause.NoAnswer) return `No answer: the room is full (${kRoomSize} members) or the server is busy.`;
  if (cause === Cause.Lost) return 'The connection broke.';
  return 'The server cannot be reached.';
}

// `phase`: the room's; `entered`: it has been in the room, so the room's
// view is showing; `failed`: a try to enter failed, so the next one goes on
// saying why; `name`: ours as shown; `seconds`: to the next try.
// Returns { text, wait, trouble, retry }: `text` changes only with the
// state (it is read out), `wait` counts down the seconds (it is not);
// trouble shows red; `retry` offers a "try now".
export function ConnectionWords({ phase, entered, failed, cause, name, seconds }) {
  const words = (text, trouble = false, wait = '') => ({ text, wait, trouble, retry: phase === Phase.Offline });
  switch (phase) {
    case Phase.Offline:
      return entered ? words('Offline.', true, `Next try in ${seconds} s`) : words(why(cause), true, again(seconds));
    case Phase.InRoom:
      return words(`You are ${name}`);
    case Phase.NameRejected:
      return words(`The name ${name} is in use. Pick another.`, true);
    case Phase.Leaving:
      return words('Leaving…');
    case Phase.Done:
      return words('');
    default:
      if (entered) return words('Reconnecting…');
      return failed ? words(why(cause), true, 'Trying again…') : words('Entering the room…');
  }
}
