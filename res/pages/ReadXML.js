// Reads the page's texts (index.xml) and settings (settings.xml) from next to the page and
// applies them: every child of <qvverify><PAGE> names an element id and holds its text, which
// becomes that element's text content; settings.xml's fontStyle becomes the page font and its
// direction, when given, the writing direction. Texts are never parsed as markup. When done the
// root element carries data-texts="loaded" (or "failed", with the page left on its built-in
// texts).
'use strict';

(function() {
var FALLBACK_FONTS = ', "DejaVu Sans", "Liberation Sans", Arial, sans-serif';

function pageName() {
  var path = window.location.pathname;
  var name = path.substring(path.lastIndexOf('/') + 1);
  try {
    return decodeURIComponent(name) || 'SelectUsers.htm';
  } catch (e) {
    return 'SelectUsers.htm';
  }
}

function readDocument(name) {
  return fetch(name, {cache: 'no-store', credentials: 'omit'})
      .then(function(response) {
        if (!response.ok) throw new Error(name + ': ' + response.status);
        return response.text();
      })
      .then(function(text) {
        var parsed = new DOMParser().parseFromString(text, 'application/xml');
        if (parsed.getElementsByTagName('parsererror').length > 0) {
          throw new Error(name + ': not well-formed');
        }
        return parsed;
      });
}

function childElements(parent) {
  var found = [];
  for (var node = parent.firstElementChild; node; node = node.nextElementSibling) {
    found.push(node);
  }
  return found;
}

function applyTexts(index) {
  var root = index.documentElement;
  if (!root || root.localName !== 'qvverify') throw new Error('index.xml: no qvverify root');
  var page = childElements(root).filter(function(node) {
    return node.localName === pageName();
  })[0];
  if (!page) throw new Error('index.xml: no texts for ' + pageName());
  childElements(page).forEach(function(node) {
    // Texts label things; the fields and lists are filled by the dialog alone.
    var target = document.getElementById(node.localName);
    if (target && !/^(INPUT|SELECT|TEXTAREA)$/.test(target.tagName)) {
      target.textContent = node.textContent;
    }
  });
  var title = document.getElementById('Quorvin_PageTitle');
  if (title && title.textContent !== '') document.title = title.textContent;
}

function setting(settings, name) {
  var root = settings.documentElement;
  var found = null;
  if (root) {
    found = childElements(root).filter(function(node) {
      return node.localName === name;
    })[0];
  }
  return found ? found.textContent.trim() : '';
}

// The font name is quoted as a CSS string, so no value can reach beyond the font family. A
// language written from right to left says so with direction "rtl".
function applySettings(settings) {
  var direction = setting(settings, 'direction');
  if (direction === 'rtl' || direction === 'ltr') document.documentElement.dir = direction;
  var name = setting(settings, 'fontStyle');
  if (name === '') return;
  var quoted = '"' + name.replace(/[\\"]/g, '\\$&').replace(/[\n\r\f]/g, ' ') + '"';
  document.body.style.fontFamily = quoted + FALLBACK_FONTS;
}

document.addEventListener('DOMContentLoaded', function() {
  Promise.all([readDocument('index.xml'), readDocument('settings.xml')])
      .then(function(documents) {
        applyTexts(documents[0]);
        applySettings(documents[1]);
        document.documentElement.setAttribute('data-texts', 'loaded');
      })
      .catch(function(error) {
        document.documentElement.setAttribute('data-texts', 'failed');
        console.error('The page texts could not be applied: ' + error.message);
      });
});
})();
