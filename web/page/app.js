// The line at a glance. Every text from the ledger goes into the page as
// text (createTextNode), never as markup.
'use strict';

const STATE_NAMES = {
  'reserved': '预留', 'written': '已写入', 'verified': '已校验', 'released': '已释放',
  'in doubt': '存疑', 'replaced': '已替换', '': '不在记录中'
};
const MODE_NAMES = {
  write: '烧写', read: '读取', release: '释放', confirm: '确认', readback: '读回', replace: '替换'
};
const ATTENTION = {
  inDoubt: ['存疑', '写入结果未知：读取该设备，设备中已有该ID时确认，否则释放'],
  deadReservation: ['中止的预留', '工位的运行已中止，该ID仍预留：检查设备，设备中已有该ID时确认，否则释放'],
  collision: ['ID冲突', '两台设备可能持有同一ID：读取两台设备核对，并改写其中一台']
};

let refreshMs = 2000;
let chart = null;

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('data-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) {
    if (c === null || c === undefined) continue;
    e.appendChild(typeof c === 'object' ? c : document.createTextNode(String(c)));
  }
  return e;
}

function pad(n) { return String(n).padStart(2, '0'); }
function localTime(ms) {
  if (ms === null || ms === undefined) return '';
  const d = new Date(ms);
  return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' +
         pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
}
function clockTime(ms) {
  const d = new Date(ms);
  return pad(d.getHours()) + ':' + pad(d.getMinutes());
}
function duration(ms) {
  const m = Math.round(ms / 60000);
  if (m < 60) return m + ' 分钟';
  const h = Math.floor(m / 60);
  if (h < 48) return h + ' 小时 ' + (m % 60) + ' 分钟';
  return Math.floor(h / 24) + ' 天 ' + (h % 24) + ' 小时';
}
function replace(node, ...children) {
  node.replaceChildren(...children.filter((c) => c !== null && c !== undefined));
}

function setStatus(kind, text) {
  const s = document.getElementById('status');
  s.className = 'status ' + kind;
  s.textContent = text;
  s.setAttribute('data-state', kind);
}

function figure(label, value, field) {
  return el('div', {class: 'figure', 'data-field': field}, el('b', {}, value), el('span', {}, label));
}

function renderPools(data) {
  const box = document.getElementById('pools');
  const nodes = [];
  for (const p of data.pools) {
    const title = p.kind === 'file'
      ? 'ID列表 ' + (p.name || p.sha256.slice(0, 12)) + '（SHA-256 ' + p.sha256.slice(0, 12) + '…）'
      : '计数器 ' + p.prefix + '<十六进制>' + p.suffix + (p.down ? ' 递减' : ' 递增');
    const figs = [];
    if (p.kind === 'file') {
      figs.push(figure('总数', p.imported ? p.entries : '未导入', 'total'));
      figs.push(figure('剩余', p.imported ? p.free : '—', 'free'));
    } else {
      figs.push(figure('下一个值', p.next === null ? (p.counterKnown ? '已用完' : '—') : p.next, 'next'));
    }
    figs.push(figure('预留', p.reserved, 'reserved'));
    figs.push(figure('存疑', p.inDoubt, 'inDoubt'));
    figs.push(figure('已写入', p.written, 'written'));
    figs.push(figure('已校验', p.verified, 'verified'));
    figs.push(figure('失败', p.failed, 'failed'));
    figs.push(figure('近1小时写入', p.writtenHour, 'rate'));
    if (p.kind === 'file') {
      figs.push(figure('按此速度用完于',
        p.runOutMs === null ? '—' : localTime(p.runOutMs) + '（' + duration(p.runOutMs - data.nowMs) + '后）',
        'runOut'));
    }
    const rows = p.stations.map((s) => el('tr', {'data-station': s.station},
      el('td', {}, s.station), el('td', {class: 'num'}, s.reserved), el('td', {class: 'num'}, s.written),
      el('td', {class: 'num'}, s.verified), el('td', {class: 'num'}, s.failed), el('td', {class: 'num'}, s.inDoubt)));
    nodes.push(el('div', {class: 'pool', 'data-pool': p.kind === 'file' ? p.sha256 : p.prefix + '*' + p.suffix},
      el('h3', {}, title), el('div', {class: 'figures'}, ...figs),
      el('table', {},
        el('thead', {}, el('tr', {}, el('th', {}, '工位'), el('th', {class: 'num'}, '预留'),
          el('th', {class: 'num'}, '已写入'), el('th', {class: 'num'}, '已校验'),
          el('th', {class: 'num'}, '失败'), el('th', {class: 'num'}, '存疑'))),
        el('tbody', {}, ...rows))));
  }
  if (!nodes.length) nodes.push(el('div', {class: 'muted'}, '还没有ID池。'));
  replace(box, ...nodes);
}

function renderStations(data) {
  const body = document.querySelector('#stations tbody');
  const rows = data.stations.map((s) => {
    const state = s.state === 'writing'
      ? el('span', {class: 'writing'}, '正在烧写')
      : el('span', {class: 'idle'}, s.lastMs === null ? '空闲（本班次无记录）' : '空闲，自 ' + localTime(s.lastMs));
    let last = '';
    if (s.lastMs !== null) {
      last = (MODE_NAMES[s.lastMode] || s.lastMode) + ' ' + s.lastId + '：' +
        (s.lastResult === null ? '进行中或未完成' : s.lastResultText);
    }
    const failures = s.failures.map((f) => f.text + '（' + f.code + '）× ' + f.count).join('，');
    return el('tr', {'data-station': s.station},
      el('td', {}, s.station), el('td', {}, state),
      el('td', {class: s.lastResult ? 'bad' : ''}, last),
      el('td', {class: 'num', 'data-field': 'writtenHour'}, s.writtenHour),
      el('td', {class: 'num' + (s.failedHour ? ' bad' : ''), 'data-field': 'failedHour'}, s.failedHour),
      el('td', {}, failures));
  });
  replace(body, ...rows);
}

function renderChart(data) {
  if (typeof Chart === 'undefined') return;
  const c = data.chart;
  const slices = Math.round((data.nowMs - c.fromMs) / c.sliceMs) + 1;
  const labels = [];
  for (let i = 0; i < slices; i++) labels.push(clockTime(c.fromMs + i * c.sliceMs));
  const byStation = new Map();
  const failed = new Array(slices).fill(0);
  for (const s of c.slices) {
    const i = Math.round((s.t - c.fromMs) / c.sliceMs);
    if (i < 0 || i >= slices) continue;
    if (!byStation.has(s.station)) byStation.set(s.station, new Array(slices).fill(0));
    byStation.get(s.station)[i] += s.written;
    failed[i] += s.failed;
  }
  const colours = ['#2f6fdf', '#1f9d8b', '#8c5bd6', '#d68b1f', '#4f8a2b', '#c2417f', '#3f4f6f', '#7a9a01'];
  const datasets = [...byStation.entries()].sort().map(([name, values], k) => ({
    label: name, data: values, backgroundColor: colours[k % colours.length], stack: 'written'
  }));
  datasets.push({label: '失败', data: failed, backgroundColor: '#d92d20', stack: 'failed'});
  if (!chart) {
    chart = new Chart(document.getElementById('chart'), {
      type: 'bar',
      data: {labels, datasets},
      options: {
        animation: false, maintainAspectRatio: false,
        scales: {x: {stacked: true, ticks: {maxTicksLimit: 13}}, y: {stacked: true, beginAtZero: true}},
        plugins: {legend: {position: 'bottom'}}
      }
    });
  } else {
    chart.data.labels = labels;
    chart.data.datasets = datasets;
    chart.update('none');
  }
}

function renderAttention(data) {
  const body = document.querySelector('#attention tbody');
  const rows = data.attention.map((a) => {
    const [name, hint] = ATTENTION[a.kind] || [a.kind, ''];
    let device = a.device;
    if (a.kind === 'collision') device += '；记录中属于 ' + a.otherStation + ' ' + a.otherDevice;
    return el('tr', {'data-kind': a.kind, 'data-id': a.id},
      el('td', {class: 'bad'}, name), el('td', {}, a.id), el('td', {}, a.station), el('td', {}, device),
      el('td', {}, localTime(a.timeMs)),
      el('td', {}, el('div', {class: 'muted'}, hint),
        ...a.commands.map((c) => el('div', {}, el('code', {class: 'command'}, c)))));
  });
  replace(body, ...rows);
  document.getElementById('attention-note').textContent = data.attentionCut
    ? '只列出前 ' + data.attention.length + ' 项。'
    : (data.attention.length ? '' : '没有待处理的ID。');
}

async function poll() {
  try {
    const r = await fetch('/api/line', {cache: 'no-store', credentials: 'same-origin'});
    if (!r.ok) throw new Error(String(r.status));
    const line = await r.json();
    refreshMs = line.refreshMs || refreshMs;
    document.getElementById('ledger').textContent = 'ID记录：' + line.ledger;
    const age = line.dataMs === null ? null : line.nowMs - line.dataMs;
    if (line.state === 'offline') {
      setStatus('offline', 'ID记录服务器无法连接（各工位的自动烧写在等待服务器）：' + line.message);
    } else if (line.state === 'slow') {
      setStatus('slow', 'ID记录数据库响应慢：' + line.message);
    } else if (line.state === 'error') {
      setStatus('error', '读取ID记录失败：' + line.message);
    } else if (line.state === 'starting') {
      setStatus('stale', '正在读取ID记录…');
    } else if (age !== null && age > 3 * refreshMs + 2000) {
      setStatus('stale', '数据已 ' + Math.round(age / 1000) + ' 秒未更新');
    } else {
      setStatus('ok', '实时 · 更新于 ' + localTime(line.dataMs));
    }
    if (line.data) {
      renderPools(line.data);
      renderStations(line.data);
      renderAttention(line.data);
      renderChart(line.data);
      document.body.setAttribute('data-loaded', String(line.dataMs));
    }
  } catch (e) {
    setStatus('offline', '与本页的服务连接已断开，正在重试…');
  }
  setTimeout(poll, refreshMs);
}

function trailTable(t, rows) {
  return el('table', {id: 'trail-rows'},
    el('thead', {}, el('tr', {}, ...['时间', '工位', '操作', '设备', 'USB 序列号', 'USB 厂商/产品', '结果', '校验']
      .map((h) => el('th', {}, h)))),
    el('tbody', {}, ...rows.map((r) => el('tr', {'data-seq': r.seq},
      el('td', {}, localTime(r.timeMs)), el('td', {}, r.station), el('td', {}, MODE_NAMES[r.mode] || r.mode),
      el('td', {}, r.device + (r.port ? '（端口 ' + r.port + '）' : '')), el('td', {}, r.usbSerial),
      el('td', {}, [r.usbVendor, r.usbProduct].filter((x) => x).join(' / ')),
      el('td', {class: r.result ? 'bad' : ''}, r.result === null ? '未完成' : r.resultText),
      el('td', {}, r.verified ? '是' : '')))));
}

async function search(id, after, rows) {
  const box = document.getElementById('trail');
  if (!id) { replace(box); return; }
  if (!after) replace(box, el('div', {class: 'muted'}, '正在查询…'));
  try {
    const q = '/api/id?id=' + encodeURIComponent(id) + (after ? '&after=' + after : '');
    const r = await fetch(q, {cache: 'no-store', credentials: 'same-origin'});
    const t = await r.json();
    if (!r.ok) {
      replace(box, el('div', {class: 'bad'}, '查询失败：' + (t.message || r.status)));
      return;
    }
    const all = (rows || []).concat(t.rows);
    const head = t.state
      ? 'ID ' + t.id + '：' + (STATE_NAMES[t.state] || t.state) + '，工位 ' + t.station + '，设备 ' + t.device +
        '，' + localTime(t.timeMs)
      : 'ID ' + t.id + '：不在ID记录中';
    const more = t.nextAfter === null ? null
      : el('button', {type: 'button', onclick: () => search(id, t.nextAfter, all)}, '更多');
    replace(box, el('div', {id: 'trail-head', 'data-state': t.state}, head),
      all.length ? trailTable(t, all) : el('div', {class: 'muted'}, '没有尝试记录。'), more);
  } catch (e) {
    replace(box, el('div', {class: 'bad'}, '查询失败：与本页的服务连接已断开'));
  }
}

function isoUtc(localValue) {
  if (!localValue) return '';
  const d = new Date(localValue);
  if (isNaN(d)) return '';
  return d.toISOString().slice(0, 19) + 'Z';
}

function updateExport() {
  const from = isoUtc(document.getElementById('export-from').value);
  const to = isoUtc(document.getElementById('export-to').value);
  const params = new URLSearchParams();
  if (from) params.set('from', from);
  if (to) params.set('to', to);
  const href = '/journal.csv' + (params.toString() ? '?' + params.toString() : '');
  const shift = new URLSearchParams({from: new Date(Date.now() - 12 * 3600e3).toISOString().slice(0, 19) + 'Z'});
  replace(document.getElementById('export-links'),
    el('a', {href, download: 'journal.csv', id: 'export-range'}, '下载所选时间段'),
    el('a', {href: '/journal.csv?' + shift.toString(), download: 'journal-shift.csv'}, '下载最近12小时'));
}

document.addEventListener('DOMContentLoaded', () => {
  document.getElementById('search').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const id = document.getElementById('search-id').value.trim();
    history.replaceState(null, '', id ? '#id=' + encodeURIComponent(id) : '#');
    search(id);
  });
  for (const f of ['export-from', 'export-to'])
    document.getElementById(f).addEventListener('change', updateExport);
  updateExport();
  const m = /^#id=(.*)$/.exec(location.hash);
  if (m) {
    const id = decodeURIComponent(m[1]);
    document.getElementById('search-id').value = id;
    search(id);
  }
  poll();
});
