// The page: files chosen or dropped go to the workers (worker.js), and
// what they answer is shown. Only the answers of the last job count; a job
// started while another runs stops the workers and starts them again.
import { Viewer } from './viewer.js';

const $ = (id) => document.getElementById(id);

// One worker encodes; a second, when there is a second core, measures SSIM
// (the slowest number) and PSNR meanwhile.
const workerCount = navigator.hardwareConcurrency >= 2 ? 2 : 1;
let workers = [];
let job = { id: 0, waiting: 0 };

function startWorkers() {
    workers = Array.from({ length: workerCount }, () => {
        const worker = new Worker(new URL('worker.js', import.meta.url), { type: 'module' });
        worker.onmessage = ({ data }) => {
            if (data.kind === 'ready') workerReady(data);
            else if (data.id === job.id) answers[data.kind](data);
        };
        worker.onerror = (event) => {
            event.preventDefault();
            refused({ text: `the page’s worker failed${event.message ? `: ${event.message}` : ''}` });
            restartWorkers();
        };
        return worker;
    });
}

// Once every worker is ready, <html data-ready> says so (for benchmarks:
// a user takes longer to choose a file).
let readyWorkers = 0;
function workerReady({ version }) {
    $('version').textContent = version;
    if (++readyWorkers >= workerCount) document.documentElement.dataset.ready = '';
}

function restartWorkers() {
    workers.forEach((w) => w.terminate());
    startWorkers();
}

const viewer = new Viewer($('view'), (mode) => {
    for (const b of document.querySelectorAll('[data-zoom]')) b.setAttribute('aria-pressed', String(b.dataset.zoom === String(mode)));
});

function bytes(n) {
    return `${n.toLocaleString('en')} bytes`;
}

function seconds(ms) {
    return `${(ms / 1000).toFixed(2)} s`;
}

// A result's files to download, as links; the old ones' URLs given back.
function clearLinks(parent) {
    for (const a of parent.querySelectorAll('a')) URL.revokeObjectURL(a.href);
    parent.replaceChildren();
}

function addLink(parent, { id, blob, name, text }) {
    const a = document.createElement('a');
    a.id = id;
    a.href = URL.createObjectURL(blob);
    a.download = name;
    a.textContent = `${text} (${bytes(blob.size)})`;
    parent.append(a);
}

// A file's name without its extension, and without ".carrier" for a carrier.
function baseName(file, carrier) {
    const name = file.name.replace(/\.[^.]*$/, '') || 'picture';
    return carrier ? name.replace(/\.carrier$/, '') : name;
}

function start(message, file, waiting) {
    if (job.waiting) restartWorkers();
    job = { id: job.id + 1, waiting, file, started: performance.now() };
    // Times from the start: data-encoded-ms, data-bmp-ms, data-carrier-ms
    // (the PNG), data-measured-ms.
    for (const time of ['encodedMs', 'bmpMs', 'carrierMs', 'measuredMs']) delete $('status').dataset[time];
    $('message').textContent = '';
    $('status').textContent = `${file.name}: starting…`;
    $('result').classList.add('busy');
    workers[0].postMessage({ ...message, id: job.id, file });
}

function encode(file) {
    clearLinks($('carrier-links'));
    for (const id of ['psnr', 'ssim', 'ciede2000']) $(id).textContent = '…';
    start({ job: 'encode', encoder: $('encoder').value }, file, 6);
}

function decode(file) {
    clearLinks($('decoded-links'));
    start({ job: 'decode' }, file, 1);
}

function done() {
    job.waiting--;
    if (!job.waiting) $('result').classList.remove('busy');
}

function refused({ text }) {
    job.waiting = 0;
    $('message').textContent = `${job.file ? `${job.file.name}: ` : ''}${text}`;
    $('status').textContent = '';
    $('result').classList.remove('busy');
    $('result').hidden = true;
}

function showResult(kind) {
    $('result').hidden = false;
    $('encoded').hidden = kind !== 'encoded';
    $('decoded').hidden = kind !== 'decoded';
}

const answers = {
    status({ text }) {
        $('status').textContent = `${job.file.name}: ${text}`;
    },
    refused,
    // The picture and its carrier, for the measuring worker.
    compare({ w, h, rgba, carrier }) {
        workers[workers.length - 1].postMessage({ job: 'measure', id: job.id, w, h, rgba, carrier, names: ['ssim', 'psnr'] },
                                                [rgba, carrier]);
    },
    encoded({ w, h, picture, preview, png }) {
        job.encoded = performance.now() - job.started;
        viewer.show([{ bitmap: preview, label: 'preview' }, { bitmap: picture, label: 'picture' }]);
        showResult('encoded');
        const file = job.file;
        $('picture-facts').textContent = `${file.name}: ${w} × ${h} pixels, ${bytes(file.size)}`;
        $('carrier-facts').textContent = `${w} × ${2 * h} bytes of codes`;
        $('status').textContent = `${file.name}: encoded in ${seconds(job.encoded)}; measuring…`;
        $('status').dataset.encodedMs = job.encoded.toFixed(0);
        done();
    },
    // The BMP comes first: the PNG's compression takes longer.
    carrierBmp({ bmp }) {
        $('status').dataset.bmpMs = (performance.now() - job.started).toFixed(0);
        addLink($('carrier-links'), { id: 'carrier-bmp', blob: bmp, name: `${baseName(job.file, false)}.carrier.bmp`,
                                      text: 'Carrier as BMP' });
        done();
    },
    carrierPng({ png }) {
        $('status').dataset.carrierMs = (performance.now() - job.started).toFixed(0);
        addLink($('carrier-links'), { id: 'carrier-png', blob: png, name: `${baseName(job.file, false)}.carrier.png`,
                                      text: 'Carrier as PNG' });
        done();
    },
    number({ name, text }) {
        $(name).textContent = text;
        done();
        if (!job.waiting) {
            const measured = performance.now() - job.started;
            $('status').textContent = `${job.file.name}: encoded in ${seconds(job.encoded)}, measured in ${seconds(measured)}`;
            $('status').dataset.measuredMs = measured.toFixed(0);
        }
    },
    decoded({ w, h, bitmap, png }) {
        viewer.show([{ bitmap, label: 'decoded picture' }]);
        showResult('decoded');
        const file = job.file;
        $('decoded-carrier-facts').textContent = `${file.name}: ${w} × ${2 * h} bytes, ${bytes(file.size)}`;
        $('decoded-facts').textContent = `${w} × ${h} pixels`;
        addLink($('decoded-links'), { id: 'decoded-png', blob: png, name: `${baseName(file, true)}.decoded.png`,
                                      text: 'Picture as PNG' });
        $('status').textContent = `${file.name}: decoded in ${seconds(performance.now() - job.started)}`;
        done();
    },
};

// ---- Input --------------------------------------------------------------------

let lastPicture = null;
const tasks = {
    encode(file) {
        lastPicture = file;
        encode(file);
    },
    decode,
};

for (const [id, task] of [['picture', 'encode'], ['carrier', 'decode']]) {
    $(id).addEventListener('change', (event) => {
        const file = event.target.files[0];
        // Cleared, so that choosing the same file again does it again.
        event.target.value = '';
        if (file) tasks[task](file);
    });
}

$('encoder').addEventListener('change', () => {
    if (lastPicture) encode(lastPicture);
});

for (const button of document.querySelectorAll('[data-zoom]')) {
    button.addEventListener('click', () => viewer.zoom(button.dataset.zoom === 'fit' ? 'fit' : Number(button.dataset.zoom)));
}

// A file dropped on a task's area goes to it; dropped anywhere else, to
// the task of the result shown.
document.addEventListener('dragover', (event) => {
    event.preventDefault();
    document.body.classList.add('dragging');
});
document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) document.body.classList.remove('dragging');
});
document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('dragging');
    const file = event.dataTransfer.files[0];
    if (!file) return;
    const area = event.target.closest && event.target.closest('[data-task]');
    const task = area ? area.dataset.task : $('decoded').hidden ? 'encode' : 'decode';
    tasks[task](file);
});

startWorkers();
