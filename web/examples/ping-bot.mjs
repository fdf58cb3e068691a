// A bot: answers "!ping" with "pong" (privately when asked privately) and
// greets whoever joins. Usage: node ping-bot.mjs HOST PORT CA_FILE [NAME]
import { readFileSync } from 'node:fs';
import { ChatRoom } from 'saferoom';
import { tlsDialer } from 'saferoom/tls';

const [host, port, ca, name = 'pingbot'] = process.argv.slice(2);
const room = new ChatRoom({ name, dial: tlsDialer({ host, port: Number(port), ca: readFileSync(ca) }) });
room.on('joined', (e) => room.say(`welcome, ${e.name}`));
room.on('message', (e) => {
  if (e.ours || e.text !== '!ping') return;
  if (e.isPrivate) room.sendTo(e.nameBytes, 'pong');
  else room.say('pong');
});
process.on('SIGINT', () => room.leave());
const end = await room.start();
console.log(`left the room: ${end.outcome} ${end.reason}`.trim());
process.exitCode = end.outcome === 'ok' ? 0 : 1;
