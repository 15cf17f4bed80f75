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

function timeText(iso) { return iso ? iso.split('T')[1].slice(0, 8) : '?'; }

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

async function loadArchives(day) {
  archives = (await getJson('api/archives?day=' + encodeURIComponent(day))).archives;
  const list = $('archives');
  const timeline = $('timeline');
  list.replaceChildren();
  timeline.replaceChildren();
  archives.forEach((archive, index) => {
    const item = document.createElement('li');
    item.dataset.index = index;
    const name = document.createElement('span');
    name.textContent = timeText(archive.first) + '–' + timeText(archive.last);
    if (archive.pinned) name.className = 'pin';
    const frames = document.createElement('span');
    frames.className = 'quiet';
    frames.textContent = archive.frames + ' frames';
    item.append(name, frames);
    item.onclick = () => select(day, index);
    list.append(item);
    const first = secondsOfDay(archive.first);
    if (first !== null) {
      const last = secondsOfDay(archive.last) ?? first;
      const block = document.createElement('div');
      block.className = 'block';
      block.style.left = (first / 864) + '%';
      block.style.width = (Math.max(0, last - first) / 864) + '%';
      block.title = name.textContent;
      block.dataset.index = index;
      block.onclick = () => select(day, index);
      timeline.append(block);
    }
  });
}

function select(day, index) {
  stop();
  current = { day, archive: archives[index] };
  for (const node of document.querySelectorAll('[data-index]')) {
    node.classList.toggle('selected', Number(node.dataset.index) === index);
  }
  const base = 'api/archives/' + day + '/' + encodeURIComponent(current.archive.name);
  $('download-video').href = base + '.mkv';
  $('download-archive').href = base + '.cna';
  $('player').hidden = false;
  const slider = $('slider');
  slider.max = Math.max(0, current.archive.frames - 1);
  slider.value = 0;
  show(0);
}

// One frame: its picture and its recorded time (a header of the answer).
async function fetchFrame(n) {
  const base = 'api/archives/' + current.day + '/' + encodeURIComponent(current.archive.name);
  const response = await fetch(base + '/frames/' + n + '.jpg');
  if (!response.ok) return null;
  const time = Date.parse(response.headers.get('X-Record-Time') || '');
  return { url: URL.createObjectURL(await response.blob()), time };
}

function display(n, frame) {
  const img = $('frame');
  const old = img.src;
  img.src = frame.url;
  if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  $('slider').value = n;
  $('position').textContent = (n + 1) + ' / ' + current.archive.frames;
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

async function play() {
  playing = true;
  const token = ++playToken;
  $('play').textContent = 'Pause';
  let n = Number($('slider').value);
  let previous = await fetchFrame(n);
  if (!previous) return stop();
  display(n, previous);
  let shownAt = performance.now();
  while (playing && token === playToken && n + 1 < current.archive.frames) {
    const next = await fetchFrame(n + 1);
    if (!next || token !== playToken) break;
    // The gap the recorder left between the two frames, capped so that a pause in the
    // recording does not stall the player.
    const gap = isNaN(next.time) || isNaN(previous.time) ? 100 : Math.min(2000, Math.max(0, next.time - previous.time));
    const wait = gap - (performance.now() - shownAt);
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    if (token !== playToken) { URL.revokeObjectURL(next.url); break; }
    n += 1;
    display(n, next);
    shownAt = performance.now();
    previous = next;
  }
  if (token === playToken) stop();
}

$('play').onclick = () => (playing ? stop() : play());
$('slider').oninput = () => { stop(); show(Number($('slider').value)); };
$('day').onchange = () => { stop(); $('player').hidden = true; loadArchives($('day').value); };

refreshStatus().then(startLive);
setInterval(refreshStatus, 2000);
loadDays();
setInterval(() => { if (!playing && $('day').value) loadArchives($('day').value); }, 60000);
