// Image buttons. Each <span class="imgbtn" data-for="ID"> (and the title bar's close image) is
// drawn over the hidden input button ID: it shows the normal, hover, pressed or disabled image,
// and a click on it while enabled clicks the hidden input, whose click event is what native
// code listens to. A disabled image button does nothing, so no event leaves the page for it.
'use strict';

var QV_BUTTON_IMAGES = {
  normal: 'btn_normal.gif',
  over: 'btn_over.gif',
  down: 'btn_down.gif',
  disabled: 'btn_disabled.gif'
};
var QV_CLOSE_IMAGES = {
  normal: 'closenormal.gif',
  over: 'closeover.gif',
  down: 'closedown.gif',
  disabled: 'closenormal.gif'
};

// The image buttons drawn for the input button id (the labelled button and the close image).
function QvImageButtonsFor(id) {
  var all = document.querySelectorAll('[data-for]');
  var found = [];
  for (var i = 0; i < all.length; i++) {
    if (all[i].getAttribute('data-for') === id) found.push(all[i]);
  }
  return found;
}

function QvImagesOf(button) {
  return button.classList.contains('title-close') ? QV_CLOSE_IMAGES : QV_BUTTON_IMAGES;
}

function QvDraw(button, state) {
  var image = button.tagName === 'IMG' ? button : button.querySelector('img');
  if (!image) return;
  var source = QvImagesOf(button)[state];
  if (image.getAttribute('src') !== source) image.setAttribute('src', source);
}

function QvButtonDisabled(button) {
  var input = document.getElementById(button.getAttribute('data-for'));
  return !input || input.disabled || button.classList.contains('disabled');
}

function MakeBtnEnable(id) {
  var input = document.getElementById(id);
  if (!input) return;
  input.disabled = false;
  QvImageButtonsFor(id).forEach(function(button) {
    button.classList.remove('disabled');
    button.removeAttribute('aria-disabled');
    QvDraw(button, button.matches(':hover') ? 'over' : 'normal');
  });
}

function MakeBtnDisable(id) {
  var input = document.getElementById(id);
  if (!input) return;
  input.disabled = true;
  QvImageButtonsFor(id).forEach(function(button) {
    button.classList.add('disabled');
    button.classList.remove('pressed');
    button.setAttribute('aria-disabled', 'true');
    QvDraw(button, 'disabled');
  });
}

function QvShowImageButton(id, visible) {
  var input = document.getElementById(id);
  if (!input) return;
  QvImageButtonsFor(id).forEach(function(button) {
    button.style.visibility = visible ? 'visible' : 'hidden';
  });
}

function QvSetImageButtonLabel(id, text) {
  var label = document.getElementById(id + '_Lbl');
  if (label) label.textContent = String(text);
}

function QvWireImageButton(button) {
  if (!button.classList.contains('title-close')) {
    button.setAttribute('role', 'button');
    button.setAttribute('tabindex', '0');
  }
  button.addEventListener('mouseenter', function() {
    if (!QvButtonDisabled(button)) QvDraw(button, 'over');
  });
  button.addEventListener('mouseleave', function() {
    button.classList.remove('pressed');
    if (!QvButtonDisabled(button)) QvDraw(button, 'normal');
  });
  button.addEventListener('mousedown', function(event) {
    // The close image sits in the title bar; pressing it must not start a window drag.
    event.stopPropagation();
    if (event.button !== 0 || QvButtonDisabled(button)) return;
    button.classList.add('pressed');
    QvDraw(button, 'down');
  });
  button.addEventListener('mouseup', function() {
    button.classList.remove('pressed');
    if (!QvButtonDisabled(button)) QvDraw(button, 'over');
  });
  button.addEventListener('click', function(event) {
    event.preventDefault();
    if (QvButtonDisabled(button)) return;
    document.getElementById(button.getAttribute('data-for')).click();
  });
  button.addEventListener('keydown', function(event) {
    if (event.key !== 'Enter' && event.key !== ' ') return;
    event.preventDefault();
    if (!QvButtonDisabled(button)) document.getElementById(button.getAttribute('data-for')).click();
  });
  button.addEventListener('dragstart', function(event) {
    event.preventDefault();
  });
}

document.addEventListener('DOMContentLoaded', function() {
  var buttons = document.querySelectorAll('[data-for]');
  for (var i = 0; i < buttons.length; i++) {
    QvWireImageButton(buttons[i]);
    if (QvButtonDisabled(buttons[i])) MakeBtnDisable(buttons[i].getAttribute('data-for'));
  }
});
