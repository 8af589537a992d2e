// Small helpers for building and updating the page.

export const $ = (id) => document.getElementById(id);

// h('li', {class: 'x', onclick: f, dataset: {id: 1}}, 'text', child, [more])
export function h(tag, props = {}, ...children) {
    const el = document.createElement(tag);
    for (const [key, value] of Object.entries(props || {})) {
        if (value == null || value === false) continue;
        if (key === 'class') el.className = value;
        else if (key === 'text') el.textContent = value;
        else if (key === 'dataset') Object.assign(el.dataset, value);
        else if (key.startsWith('on') && typeof value === 'function') el.addEventListener(key.slice(2), value);
        else if (key in el && typeof value !== 'string') el[key] = value;
        else el.setAttribute(key, value === true ? '' : value);
    }
    append(el, children);
    return el;
}

function append(el, children) {
    for (const child of children) {
        if (child == null || child === false) continue;
        if (Array.isArray(child)) append(el, child);
        else el.append(child instanceof Node ? child : String(child));
    }
}

export function setText(id, text, dim = false) {
    const el = typeof id === 'string' ? $(id) : id;
    if (el.textContent !== text) el.textContent = text;
    el.classList.toggle('dim', dim);
}

// Runs an async action while the button shows it is busy; a second click
// meanwhile does nothing.
export async function busy(button, action) {
    if (button.getAttribute('aria-busy') === 'true') return undefined;
    button.setAttribute('aria-busy', 'true');
    try {
        return await action();
    } finally {
        button.removeAttribute('aria-busy');
    }
}

export function fillSelect(select, choices) {
    select.replaceChildren(...choices.map(([value, label]) => h('option', {value: String(value), text: label})));
}

export function download(filename, text, type = 'application/json') {
    const url = URL.createObjectURL(new Blob([text], {type}));
    const a = h('a', {href: url, download: filename});
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
}

export function timeOfDay(ms = Date.now()) {
    return new Date(ms).toLocaleTimeString([], {hour12: false});
}
