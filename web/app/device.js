// The way into a private room from the page: an invitation link enrols a
// device key made here (kept in IndexedDB, its private half never
// extractable), and every later visit proves it. Without either the page
// says that the room is private and what lets one in; a refused device is
// told why, and offered nothing it cannot do. Used by app.js, which starts
// the room once this has the name it may use.
import {
  deviceDialer, DeviceEnrolFrame, DeviceProofFrame, DeviceRefusal, DeviceRefusedError, DeviceVia, InviteTokenOf,
  kEnrolLabel, kProofLabel, MakeDeviceKey, OpenDeviceExchange, SignChallenge,
} from './lib/device-auth.mjs';
import { pageWebSocketUrl, webSocketDialer } from './lib/websocket.mjs';

const kDb = 'saferoom';
const kStore = 'device';
const kTokenKey = 'saferoom.invite'; // sessionStorage: a link's token until it is used

// The page's words for each outcome it shows.
export const Words = Object.freeze({
  private: 'This room is private.',
  invite: 'An invitation link from the room’s operator lets you in: open it on this device.',
  entering: 'Entering the room…',
  used: 'This invitation was used or has expired.',
  usedNext: 'Ask the room’s operator for a new invitation link.',
  removed: 'This device was removed from the room.',
  removedNext: 'A new invitation link from the room’s operator lets you in again.',
  elsewhere: 'You are in the room already, from another device or tab.',
  elsewhereNext: 'Leave the room there, then reload this page.',
  unreachable: 'The room cannot be reached.',
  failed: 'The room could not check this device.',
  failedNext: 'Reload the page to try again.',
});

// IndexedDB, as promises: the one record is the device key.
function withStore(mode, act) {
  return new Promise((resolve, reject) => {
    const open = indexedDB.open(kDb, 1);
    open.onupgradeneeded = () => open.result.createObjectStore(kStore);
    open.onerror = () => reject(open.error);
    open.onsuccess = () => {
      const tx = open.result.transaction(kStore, mode);
      const request = act(tx.objectStore(kStore));
      tx.oncomplete = () => {
        open.result.close();
        resolve(request?.result);
      };
      tx.onerror = tx.onabort = () => reject(tx.error);
    };
  });
}

const loadDevice = () => withStore('readonly', (s) => s.get('key')).catch(() => undefined);
const saveDevice = (device) => withStore('readwrite', (s) => s.put(device, 'key'));

// The token of the link the page was opened with, taken out of the address
// at once (a reload or a shared tab never carries it again) and kept for
// this tab until the server has answered.
function takeInviteToken() {
  const token = InviteTokenOf(location.hash);
  if (token) {
    history.replaceState(null, '', location.pathname + location.search);
    try {
      sessionStorage.setItem(kTokenKey, btoa(String.fromCharCode(...token)));
    } catch {
      // Kept in memory only: a reload before the answer loses it.
    }
    return token;
  }
  try {
    const kept = sessionStorage.getItem(kTokenKey);
    return kept ? Uint8Array.from(atob(kept), (c) => c.charCodeAt(0)) : null;
  } catch {
    return null;
  }
}

function forgetInviteToken() {
  try {
    sessionStorage.removeItem(kTokenKey);
  } catch {
    // Nothing kept.
  }
}

async function isPrivateRoom() {
  try {
    const answer = await fetch('room.json', { cache: 'no-store' });
    return answer.ok && (await answer.json()).private === true;
  } catch {
    return false; // an open room's page works as it always did
  }
}

// The screen of a private room before (or instead of) the room: over
// everything else, which it makes inert.
function noticeScreen() {
  const style = document.createElement('link');
  style.rel = 'stylesheet';
  style.href = 'device.css';
  document.head.append(style);
  const section = document.createElement('section');
  section.id = 'private';
  section.className = 'login private';
  section.setAttribute('aria-labelledby', 'private-title');
  const box = document.createElement('div');
  box.className = 'login-form';
  const title = document.createElement('h1');
  title.id = 'private-title';
  title.textContent = 'saferoom';
  const lead = document.createElement('p');
  lead.id = 'private-lead';
  const next = document.createElement('p');
  next.id = 'private-next';
  next.className = 'hint';
  next.setAttribute('role', 'status');
  box.append(title, lead, next);
  section.append(box);
  document.body.append(section);
  const others = [...document.body.children].filter((e) => e !== section && e.tagName !== 'SCRIPT');
  return {
    show(leadText, nextText) {
      lead.textContent = leadText;
      next.textContent = nextText;
      section.hidden = false;
      for (const e of others) e.inert = true;
    },
    hide() {
      section.hidden = true;
      for (const e of others) e.inert = false;
    },
  };
}

// What the server's refusal means for the person.
function refusalWords(reason) {
  if (reason === DeviceRefusal.InvitationUnknown) return [Words.used, Words.usedNext];
  if (reason === DeviceRefusal.DeviceUnknown) return [Words.removed, Words.removedNext];
  if (reason === null) return [Words.private, Words.invite];
  return [Words.failed, Words.failedNext];
}

// In a private room, takes over the way in: resolves false in an open room
// (nothing changes there), true otherwise. `enter(name, dial)` starts the
// room under `name` with `dial`, and returns it (for `leave`).
export async function enterPrivateRoom(enter) {
  if (!(await isPrivateRoom())) return false;
  // A link opened in a tab that shows the page already changes only the
  // fragment: the page starts again with it.
  window.addEventListener('hashchange', () => InviteTokenOf(location.hash) && location.reload());
  const screen = noticeScreen();
  screen.show(Words.private, Words.entering);
  const token = takeInviteToken();
  const stored = await loadDevice();
  let device = stored;
  // A new key for each invitation: one device, one key, one name. It is
  // kept once the server took it: a used link opened again on an enrolled
  // phone must not cost it the key it has.
  let enrolling = token ? await MakeDeviceKey() : null;
  let enrolled = null;
  const answer = async (challenge) => {
    if (enrolling) {
      const key = enrolling;
      enrolling = null; // one enrolment per invitation
      forgetInviteToken();
      enrolled = key;
      return DeviceEnrolFrame(token, key.publicKey, await SignChallenge(key.privateKey, kEnrolLabel, challenge));
    }
    if (!device) return null;
    return DeviceProofFrame(device.keyId, await SignChallenge(device.privateKey, kProofLabel, challenge));
  };
  const dial = webSocketDialer(pageWebSocketUrl());
  let first;
  // The server away, or the network: tried again after 1 s, 2, 4, ... up to
  // 30 s, as the room itself would; a refusal is final. An enrolment whose
  // answer was lost is sent again, and if the invitation is used by then (by
  // that very enrolment, perhaps), its key is tried.
  let unanswered = false;
  for (let pause = 1000; !first; pause = Math.min(2 * pause, 30000)) {
    try {
      first = await OpenDeviceExchange(dial, answer);
    } catch (err) {
      if (err instanceof DeviceRefusedError) {
        if (unanswered && err.reason === DeviceRefusal.InvitationUnknown) {
          unanswered = false;
          device = enrolled;
          enrolled = null;
          continue;
        }
        forgetInviteToken();
        screen.show(...refusalWords(err.reason));
        return true;
      }
      if (enrolled) {
        unanswered = true;
        enrolling = enrolled;
      }
      screen.show(Words.unreachable, `Trying again in ${pause / 1000} s (${err.message}).`);
      await new Promise((resolve) => setTimeout(resolve, pause));
    }
  }
  if (first.via === DeviceVia.Enrolled) device = enrolled;
  // A key the server took (enrolled now, or by an enrolment whose answer was
  // lost) is kept; without storage it serves this visit only.
  if (device && device !== stored && first.via !== DeviceVia.Certificate) {
    await saveDevice(device).catch(() => {});
  }
  let room = null;
  // Removed while in the room: the reconnect is refused, and the room ends.
  const onRefused = (err) => {
    if (err.reason !== DeviceRefusal.DeviceUnknown && err.reason !== DeviceRefusal.InvitationUnknown) return;
    screen.show(...refusalWords(err.reason));
    room?.leave();
  };
  screen.hide();
  room = enter(first.name, deviceDialer(dial, answer, { first, onRefused }));
  // The name is the device's: no other would be let in.
  room.on('nameInUse', () => {
    screen.show(Words.elsewhere, Words.elsewhereNext);
    room.leave();
  });
  return true;
}
