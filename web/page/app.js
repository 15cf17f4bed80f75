'use strict';
// Cindral's remote page: the live picture and state, a day's archives on a timeline, and an
// archive played at its recorded pace. Everything comes from this server.

const $ = (id) => document.getElementById(id);
let archives = [];
let current = null;   // the archive in the player
let playing = false;
let playToken = 0;
let hasLive = false;  // what the last status said: a server of recordings only has no live picture

async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(url + ': ' + response.status);
  return response.json();
}

function secondsOfDay(iso) {
  if (!iso) return null;
  const t = iso.split('T')[1].split(':');
  return Number(t[0]) * 3600 + Number(t[1]) * 60 + Number(t[2]);
}

function timeText(iso) { return iso && iso.includes('T') ? iso.split('T')[1].slice(0, 8) : '?'; }

async function refreshStatus() {
  try {
    const status = await getJson('api/status');
    hasLive = status.live === true;
    const state = $('state');
    state.textContent = status.text;
    state.className = 'state' + (status.phase === 'recording' ? ' recording' : '') +
      (status.text.startsWith('Not recording') ? ' problem' : '');
    const caption = $('live-caption');
    const lost = status.phase === 'camera-lost' || status.phase === 'stopped' || status.phase === 'no-camera';
    caption.hidden = !lost || !status.live;
    caption.textContent = status.phase === 'no-camera' ? 'No camera' : 'No signal';
    if (status.free_bytes !== null) {
      $('storage').textContent = (status.free_bytes / 1073741824).toFixed(1) + ' GB free' +
        (status.open_archive ? ' · writing ' + status.open_archive.name : '');
    }
    if (!status.live) $('live-section').hidden = true;
  } catch (error) {
    $('state').textContent = 'Not reachable';
  }
}

function startLive() {
  const live = $('live');
  live.onerror = () => setTimeout(() => { if (hasLive) live.src = 'live.mjpeg?' + Date.now(); }, 2000);
  if (hasLive) live.src = 'live.mjpeg';
}

async function loadDays() {
  const days = (await getJson('api/days')).days;
  const select = $('day');
  select.replaceChildren();
  for (const day of days.slice().reverse()) {
    const option = document.createElement('option');
    option.value = day;
    option.textContent = day.slice(0, 4) + '-' + day.slice(4, 6) + '-' + day.slice(6, 8);
    select.append(option);
  }
  if (days.length) await loadArchives(select.value);
}

// Rows and timeline blocks are picked by pointer and by keyboard alike.
function makePickable(node, day, index, label) {
  node.dataset.index = index;
  node.tabIndex = 0;
  node.setAttribute('role', 'button');
  node.setAttribute('aria-label', label);
  node.onclick = () => select(day, index);
  node.onkeydown = (event) => {
    if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      select(day, index);
    }
  };
}

async function loadArchives(day) {
  archives = (await getJson('api/archives?day=' + encodeURIComponent(day))).archives;
  const list = $('archives');
  const timeline = $('timeline');
  list.replaceChildren();
  timeline.replaceChildren();
  archives.forEach((archive, index) => {
    const item = document.createElement('li');
    const name = document.createElement('span');
    name.textContent = timeText(archive.first) + '–' + timeText(archive.last);
    if (archive.pinned) name.className = 'pin';
    const frames = document.createElement('span');
    frames.className = 'quiet';
    frames.textContent = archive.frames + ' frames';
    item.append(name, frames);
    makePickable(item, day, index, name.textContent + ', ' + frames.textContent);
    list.append(item);
    const first = secondsOfDay(archive.first);
    if (first !== null) {
      const last = secondsOfDay(archive.last) ?? first;
      const block = document.createElement('div');
      block.className = 'block';
      block.style.left = (first / 864) + '%';
      block.style.width = (Math.max(0, last - first) / 864) + '%';
      block.title = name.textContent;
      makePickable(block, day, index, name.textContent);
      timeline.append(block);
    }
  });
  loadEvents(day);
  // A refresh keeps what is selected, and lets it grow while it is recorded.
  if (current && current.day === day) {
    const index = archives.findIndex((archive) => archive.name === current.archive.name);
    if (index >= 0) {
      current.archive = archives[index];
      $('slider').max = Math.max(0, current.archive.frames - 1);
      markSelected(index);
    }
  }
}

// The day's events as pictures to scan; a tap plays the event's archive from its best frame.
async function loadEvents(day) {
  let events = [];
  try {
    events = (await getJson('api/events?day=' + encodeURIComponent(day))).events;
  } catch (error) {
    events = [];
  }
  const list = $('events');
  list.replaceChildren();
  $('events-section').hidden = events.length === 0;
  for (const event of events) {
    const item = document.createElement('li');
    const picture = document.createElement('img');
    picture.loading = 'lazy';
    picture.alt = event.label + ' at ' + timeText(event.start);
    picture.src = 'api/events/' + event.id + '/picture.jpg';
    const caption = document.createElement('span');
    caption.textContent = timeText(event.start) + ' · ' + event.label;
    if (event.label === 'person') caption.className = 'person';
    item.append(picture, caption);
    item.tabIndex = 0;
    item.setAttribute('role', 'button');
    const play = () => {
      const index = archives.findIndex((archive) => archive.name === event.archive);
      if (index < 0) return;
      select(day, index, Math.max(0, event.best_frame));
    };
    item.onclick = play;
    item.onkeydown = (key) => {
      if (key.key === 'Enter' || key.key === ' ') {
        key.preventDefault();
        play();
      }
    };
    list.append(item);
  }
}

// A tap on the timeline between blocks picks the nearest: a short archive is a thin block.
$('timeline').onclick = (event) => {
  if (event.target !== $('timeline')) return;
  const box = $('timeline').getBoundingClientRect();
  const tapped = (event.clientX - box.left) / box.width * 86400;
  let nearest = -1;
  let distance = Infinity;
  archives.forEach((archive, index) => {
    const first = secondsOfDay(archive.first);
    if (first === null) return;
    const last = secondsOfDay(archive.last) ?? first;
    const away = tapped < first ? first - tapped : tapped > last ? tapped - last : 0;
    if (away < distance) {
      distance = away;
      nearest = index;
    }
  });
  if (nearest >= 0) select($('day').value, nearest);
};

function markSelected(index) {
  for (const node of document.querySelectorAll('[data-index]')) {
    node.classList.toggle('selected', Number(node.dataset.index) === index);
  }
}

function select(day, index, frame = 0) {
  stop();
  current = { day, archive: archives[index] };
  markSelected(index);
  const base = 'api/archives/' + day + '/' + encodeURIComponent(current.archive.name);
  $('download-video').href = base + '.mkv';
  $('download-archive').href = base + '.cna';
  $('player').hidden = false;
  const slider = $('slider');
  slider.max = Math.max(0, current.archive.frames - 1);
  const first = Math.min(frame, Number(slider.max));
  slider.value = first;
  show(first);
}

// One frame: its picture and its recorded time (a header of the answer).
async function fetchFrame(n) {
  const base = 'api/archives/' + current.day + '/' + encodeURIComponent(current.archive.name);
  const response = await fetch(base + '/frames/' + n + '.jpg');
  if (!response.ok) return null;
  const recorded = response.headers.get('X-Record-Time') || '';
  return { url: URL.createObjectURL(await response.blob()), time: Date.parse(recorded), clock: timeText(recorded) };
}

function display(n, frame) {
  const img = $('frame');
  const old = img.src;
  img.src = frame.url;
  if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  $('slider').value = n;
  $('position').textContent = (n + 1) + ' / ' + current.archive.frames;
  $('frame-time').textContent = frame.clock;
}

async function show(n) {
  const frame = await fetchFrame(n);
  if (frame) display(n, frame);
}

function stop() {
  playing = false;
  playToken++;
  $('play').textContent = 'Play';
}

// Frames fetched ahead of the one on show: a fetch's time is then not added to every frame's.
const kFramesAhead = 4;
// A pause in the recording is shown as at most this long.
const kLongestGapMs = 2000;

async function play() {
  playing = true;
  const token = ++playToken;
  $('play').textContent = 'Pause';
  const total = current.archive.frames;
  const ahead = new Map();
  const fetchAhead = (k) => { if (k < total && !ahead.has(k)) ahead.set(k, fetchFrame(k)); };
  const take = async (k) => { fetchAhead(k); const frame = await ahead.get(k); ahead.delete(k); return frame; };
  let n = Number($('slider').value);
  for (let k = n; k < n + kFramesAhead; ++k) fetchAhead(k);
  let previous = await take(n);
  if (!previous || token !== playToken) {
    if (token === playToken) stop();
    return;
  }
  display(n, previous);
  // Each frame is due at its recorded time after the first, on one schedule: late frames catch
  // up instead of every delay adding to the next.
  let startedAt = performance.now();
  let dueMs = 0;
  while (playing && token === playToken && n + 1 < total) {
    fetchAhead(n + 1 + kFramesAhead);
    const next = await take(n + 1);
    if (!next || token !== playToken) {
      if (next) URL.revokeObjectURL(next.url);
      break;
    }
    const gap = isNaN(next.time) || isNaN(previous.time) ? 100 : Math.min(kLongestGapMs, Math.max(0, next.time - previous.time));
    dueMs += gap;
    const wait = startedAt + dueMs - performance.now();
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    // Far behind (a slow network): go on from here rather than rush through what was missed.
    if (wait < -kLongestGapMs) startedAt = performance.now() - dueMs;
    if (token !== playToken) { URL.revokeObjectURL(next.url); break; }
    n += 1;
    display(n, next);
    previous = next;
  }
  for (const pending of ahead.values()) pending.then((frame) => frame && URL.revokeObjectURL(frame.url));
  if (token === playToken) stop();
}

$('play').onclick = () => (playing ? stop() : play());
$('slider').oninput = () => { stop(); show(Number($('slider').value)); };
$('day').onchange = () => { stop(); $('player').hidden = true; loadArchives($('day').value); };

refreshStatus().then(startLive);
setInterval(refreshStatus, 2000);
loadDays();
setInterval(() => { if (!playing && $('day').value) loadArchives($('day').value); }, 60000);
